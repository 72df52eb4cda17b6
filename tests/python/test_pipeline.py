"""Classification and regression pipelines."""
import gc

import _quelb_core as q
import pytest

STREAM = [({"a": 1.0, "b": 10.0}, 0), ({"a": 2.0, "b": 14.0}, 1), ({"a": 1.5, "b": 9.0}, 0),
          ({"a": 3.0, "b": 15.0}, 1), ({"a": 0.5, "b": 11.0}, 0), ({"a": 2.5, "b": 13.0}, 1)]
PROBES = [{"a": 1.2, "b": 10.5}, {"a": 2.7, "b": 14.2}, {"a": 2.0, "b": 9.0}]

REGRESSORS = [name for name in ("LinearRegression", "KNNRegressor", "HoeffdingTreeRegressor")
              if hasattr(q, name)]
needs_regressor = pytest.mark.skipif(not REGRESSORS, reason="no regressor in the module yet")


def make_regressor():
    return getattr(q, REGRESSORS[0])()


def train(model, stream=STREAM):
    for x, y in stream:
        model.learn_one(x, y)
    return model


def answers(model):
    return [(model.predict_one(x), model.predict_proba_one(x)) for x in PROBES]


def test_empty_pipeline_equals_its_learner():
    assert answers(train(q.ClassificationPipeline([], q.NaiveBayes()))) == answers(train(q.NaiveBayes()))


def test_each_step_learns_then_transforms_before_the_learner():
    first, second, learner = q.MinMaxScaler(), q.StandardScaler(), q.NaiveBayes()
    train(q.ClassificationPipeline([first, second], learner))
    ref_first, ref_second, ref_learner = q.MinMaxScaler(), q.StandardScaler(), q.NaiveBayes()
    for x, y in STREAM:
        ref_first.learn_one(x)
        x1 = ref_first.transform_one(x)
        ref_second.learn_one(x1)
        ref_learner.learn_one(ref_second.transform_one(x1), y)
    assert answers(learner) == answers(ref_learner)
    assert [second.transform_one(first.transform_one(x)) for x in PROBES] == \
        [ref_second.transform_one(ref_first.transform_one(x)) for x in PROBES]


def test_first_sample_reaches_the_learner_standardised_to_zero():
    learner = q.NaiveBayes()
    for _ in range(2):
        learner.learn_one({"a": 3.0}, 2)
    pipeline = q.ClassificationPipeline([q.StandardScaler()], learner)
    for _ in range(2):
        pipeline.learn_one({"a": 5.0}, 1)  # variance 0: standardised to 0.0 both times
    assert learner.predict_one({"a": 0.0}) == 1  # class 1 is a point mass at 0.0
    assert learner.predict_one({"a": 5.0}) == 2  # not at 5.0: a tie that the first class wins


def test_predicting_changes_nothing_and_the_callers_dict_is_kept():
    scaler = q.StandardScaler()
    pipeline = train(q.ClassificationPipeline([scaler, q.SelectKBest(k=1)], q.NaiveBayes()))
    x = {"a": 2.0, "b": 12.0}
    before = scaler.clone_state()
    first = (pipeline.predict_one(x), pipeline.predict_proba_one(x))
    assert (pipeline.predict_one(x), pipeline.predict_proba_one(x)) == first
    assert scaler.transform_one(x) == before.transform_one(x)
    pipeline.learn_one(x, 1)
    assert x == {"a": 2.0, "b": 12.0}


def test_supervised_step_receives_the_label_as_float():
    selector = q.SelectKBest(k=1)
    pipeline = q.ClassificationPipeline([selector], q.NaiveBayes())
    reference = q.SelectKBest(k=1)
    rows = [({"a": 1.0, "b": 3.0}, 3), ({"a": 2.0, "b": 1.0}, 5), ({"a": 3.0, "b": 2.0}, 7)]
    for x, y in rows:
        pipeline.learn_one(x, y)
        reference.learn_one(x, float(y))
    assert selector.transform_one({"a": 1.0, "b": 1.0}) == reference.transform_one({"a": 1.0, "b": 1.0}) == {"a": 1.0}


def test_set_feature_order_reaches_the_steps():
    selector = q.SelectKBest(k=1)
    pipeline = q.ClassificationPipeline([q.StandardScaler(), selector], q.NaiveBayes())
    pipeline.set_feature_order(("b", "a"))
    train(pipeline, [({"a": v, "b": v}, int(v)) for v in (1.0, 2.0, 4.0)])
    assert selector.transform_one({"a": 1.0, "b": 1.0}) == {"b": 1.0}


def test_shared_step_learns_from_both_pipelines_and_reset_reaches_both():
    shared, learner = q.MaxAbsScaler(), q.NaiveBayes()
    one = q.ClassificationPipeline([shared], learner)
    two = q.ClassificationPipeline([shared], q.NaiveBayes())
    one.learn_one({"a": 2.0}, 0)
    two.learn_one({"a": -8.0}, 1)
    assert shared.transform_one({"a": 4.0}) == {"a": 0.5}
    shared.learn_one({"a": 16.0})  # the caller's own learning is seen by the pipelines
    one.reset()
    assert shared.transform_one({"a": 4.0}) == {"a": 0.0}
    assert learner.predict_one({"a": 1.0}) == -1  # the caller's learner was reset too


def test_pipeline_as_learner_of_another_pipeline():
    inner_learner = q.NaiveBayes()
    outer_scaler, inner_scaler = q.MinMaxScaler(), q.StandardScaler()
    inner = q.ClassificationPipeline([inner_scaler], inner_learner)
    nested = train(q.ClassificationPipeline([outer_scaler], inner))
    flat = train(q.ClassificationPipeline([q.MinMaxScaler(), q.StandardScaler()], q.NaiveBayes()))
    assert isinstance(inner, q.IClassifier)
    assert answers(nested) == answers(flat)
    nested.reset()
    assert inner_learner.predict_proba_one(PROBES[0]) == {}
    assert inner_scaler.transform_one({"a": 3.0}) == outer_scaler.transform_one({"a": 3.0}) == {"a": 0.0}


def test_pipeline_keeps_its_steps_and_learner_alive():
    pipeline = q.ClassificationPipeline((q.StandardScaler(),), q.NaiveBayes())
    gc.collect()
    train(pipeline)
    assert pipeline.predict_one(PROBES[1]) == 1


def test_python_subclasses_are_accepted():
    class MyScaler(q.StandardScaler):
        pass

    class MyBayes(q.NaiveBayes):
        pass

    assert answers(train(q.ClassificationPipeline([MyScaler()], MyBayes()))) == \
        answers(train(q.ClassificationPipeline([q.StandardScaler()], q.NaiveBayes())))


@pytest.mark.parametrize("steps, learner, message", [
    (None, q.NaiveBayes(), "'steps' must be a sequence"),
    (q.StandardScaler(), q.NaiveBayes(), "'steps' must be a sequence"),
    ("ab", q.NaiveBayes(), "'steps' must be a sequence"),
    ((s for s in [q.StandardScaler()]), q.NaiveBayes(), "'steps' must be a sequence"),
    ({"s": q.StandardScaler()}, q.NaiveBayes(), "'steps' must be a sequence"),
    ([q.StandardScaler(), None], q.NaiveBayes(), "'steps' item 1 must be a transformer"),
    ([q.NaiveBayes()], q.NaiveBayes(), "'steps' item 0 must be a transformer"),
    ([q.StandardScaler.__new__(q.StandardScaler)], q.NaiveBayes(), "'steps' item 0"),  # never built
    ([q.ClassificationPipeline([], q.NaiveBayes())], q.NaiveBayes(), "'steps' item 0"),
    ([], None, "'learner' must be a classifier"),
    ([], q.StandardScaler(), "'learner' must be a classifier"),
    ([], q.NaiveBayes, "'learner' must be a classifier"),
    ([], q.IClassifier.__new__(q.IClassifier), "'learner' must be a classifier"),
])
def test_bad_steps_and_learners_are_rejected_at_construction(steps, learner, message):
    with pytest.raises(TypeError, match=message):
        q.ClassificationPipeline(steps, learner)


def test_regression_pipeline_rejects_classifiers():
    with pytest.raises(TypeError, match="'learner' must be a regressor"):
        q.RegressionPipeline([], q.NaiveBayes())
    with pytest.raises(TypeError, match="'learner' must be a regressor"):
        q.RegressionPipeline([], q.ClassificationPipeline([], q.NaiveBayes()))
    with pytest.raises(TypeError, match="'steps' must be a sequence"):
        q.RegressionPipeline(None, None)


def test_bad_samples_and_calls_leave_every_step_unchanged():
    scaler, learner = q.StandardScaler(), q.NaiveBayes()
    pipeline = train(q.ClassificationPipeline([scaler], learner))
    before = (scaler.clone_state().transform_one(PROBES[0]), answers(learner))
    for bad in ({"a": "x"}, [("a", 1.0)], None):
        with pytest.raises(TypeError):
            pipeline.learn_one(bad, 1)
    with pytest.raises(TypeError):
        pipeline.learn_one({"a": 1.0}, 1.0)  # a float is no label
    with pytest.raises(TypeError):
        pipeline.learn_one(x={"a": 1.0}, y=1)
    assert (scaler.transform_one(PROBES[0]), answers(learner)) == before


@needs_regressor
def test_regression_pipeline_matches_manual_chain():
    rows = [({"a": float(i), "b": float(i % 3)}, 2.0 * i + 1.0) for i in range(20)]
    scaler, learner = q.StandardScaler(), make_regressor()
    pipeline = q.RegressionPipeline([scaler], learner)
    ref_scaler, ref_learner = q.StandardScaler(), make_regressor()
    for x, y in rows:
        pipeline.learn_one(x, y)
        ref_scaler.learn_one(x)
        ref_learner.learn_one(ref_scaler.transform_one(x), y)
    probe = {"a": 4.5, "b": 1.0}
    assert pipeline.predict_one(probe) == ref_learner.predict_one(ref_scaler.transform_one(probe))
    nested = q.RegressionPipeline([], pipeline)
    nested.reset()
    assert scaler.transform_one(probe) == {"a": 0.0, "b": 0.0}
