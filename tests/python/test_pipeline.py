"""Classification and regression pipelines."""
import _quelb_core as q
import pytest

STREAM = [({"a": 1.0, "b": 10.0}, 0), ({"a": 2.0, "b": 14.0}, 1), ({"a": 1.5, "b": 9.0}, 0),
          ({"a": 3.0, "b": 15.0}, 1), ({"a": 0.5, "b": 11.0}, 0), ({"a": 2.5, "b": 13.0}, 1)]
PROBES = [{"a": 1.2, "b": 10.5}, {"a": 2.7, "b": 14.2}, {"a": 2.0, "b": 9.0}]


def train(model, stream=STREAM):
    for x, y in stream:
        model.learn_one(x, y)
    return model


def answers(model):
    return [(model.predict_one(x), model.predict_proba_one(x)) for x in PROBES]


def test_empty_pipeline_equals_its_learner():
    assert answers(train(q.ClassificationPipeline([], q.NaiveBayes()))) == answers(train(q.NaiveBayes()))


def test_each_step_learns_the_sample_before_transforming_it():
    learner = train(q.NaiveBayes(), [({"a": 3.0}, 2)] * 2)
    pipeline = q.ClassificationPipeline([q.MaxAbsScaler()], learner)
    train(pipeline, [({"a": 4.0}, 1)] * 2)  # learned first, so 4.0 / 4.0 both times
    assert learner.predict_one({"a": 1.0}) == 1  # class 1 is a point mass at 1.0
    assert learner.predict_one({"a": 4.0}) == 2  # not at 4.0: a tie that the first class wins


def test_predicting_changes_nothing_and_the_callers_dict_is_kept():
    scaler = q.StandardScaler()
    pipeline = train(q.ClassificationPipeline([scaler, q.SelectKBest(k=1)], q.NaiveBayes()))
    x = {"a": 2.0, "b": 12.0}
    before = scaler.clone_state()
    assert answers(pipeline) == answers(pipeline)
    assert scaler.transform_one(x) == before.transform_one(x)
    pipeline.learn_one(x, 1)
    assert x == {"a": 2.0, "b": 12.0}


def test_supervised_step_receives_the_label_as_float():
    selector, reference = q.SelectKBest(k=1), q.SelectKBest(k=1)
    pipeline = q.ClassificationPipeline([selector], q.NaiveBayes())
    for x, y in [({"a": 1.0, "b": 3.0}, 3), ({"a": 2.0, "b": 1.0}, 5), ({"a": 3.0, "b": 2.0}, 7)]:
        pipeline.learn_one(x, y)
        reference.learn_one(x, float(y))
    assert selector.transform_one({"a": 1.0, "b": 1.0}) == reference.transform_one({"a": 1.0, "b": 1.0}) == {"a": 1.0}


def test_set_feature_order_reaches_the_steps():
    selector = q.SelectKBest(k=1)
    pipeline = q.ClassificationPipeline((q.StandardScaler(), selector), q.NaiveBayes())
    pipeline.set_feature_order(["b", "a"])
    train(pipeline, [({"a": v, "b": v}, int(v)) for v in (1.0, 2.0, 4.0)])  # a and b tie
    assert selector.transform_one({"a": 1.0, "b": 1.0}) == {"b": 1.0}


def test_shared_step_learns_from_both_pipelines_and_reset_reaches_both():
    shared, learner = q.MaxAbsScaler(), q.NaiveBayes()
    one = q.ClassificationPipeline([shared], learner)
    two = q.ClassificationPipeline([shared], q.NaiveBayes())
    one.learn_one({"a": 2.0}, 0)
    two.learn_one({"a": -8.0}, 1)
    assert shared.transform_one({"a": 4.0}) == {"a": 0.5}
    one.reset()
    assert shared.transform_one({"a": 4.0}) == {"a": 0.0}
    assert learner.predict_one({"a": 1.0}) == -1  # the caller's learner was reset too


def test_pipeline_as_learner_of_another_pipeline():
    inner_learner, outer_scaler, inner_scaler = q.NaiveBayes(), q.MinMaxScaler(), q.StandardScaler()
    nested = train(q.ClassificationPipeline([outer_scaler], q.ClassificationPipeline([inner_scaler], inner_learner)))
    flat = train(q.ClassificationPipeline([q.MinMaxScaler(), q.StandardScaler()], q.NaiveBayes()))
    assert answers(nested) == answers(flat)
    nested.reset()
    assert inner_learner.predict_proba_one(PROBES[0]) == {}
    assert inner_scaler.transform_one({"a": 3.0}) == outer_scaler.transform_one({"a": 3.0}) == {"a": 0.0}


def test_regression_pipeline_matches_the_manual_chain():
    rows = [({"a": float(i), "b": float(i % 3)}, 2.0 * i + 1.0) for i in range(20)]
    scaler, learner = q.StandardScaler(), q.LinearRegression()
    pipeline = q.RegressionPipeline([scaler], learner)
    ref_scaler, ref_learner = q.StandardScaler(), q.LinearRegression()
    for x, y in rows:
        pipeline.learn_one(x, y)
        ref_scaler.learn_one(x)
        ref_learner.learn_one(ref_scaler.transform_one(x), y)
    probe = {"a": 4.5, "b": 1.0}
    assert q.RegressionPipeline([], pipeline).predict_one(probe) == \
        ref_learner.predict_one(ref_scaler.transform_one(probe))


@pytest.mark.parametrize("steps, learner, message", [
    (None, q.NaiveBayes(), "'steps' must be a sequence"),
    ("ab", q.NaiveBayes(), "'steps' must be a sequence"),
    ((s for s in [q.StandardScaler()]), q.NaiveBayes(), "'steps' must be a sequence"),
    ([q.StandardScaler(), None], q.NaiveBayes(), "'steps' item 1 must be a transformer"),
    ([q.ClassificationPipeline([], q.NaiveBayes())], q.NaiveBayes(), "'steps' item 0"),
    ([q.StandardScaler.__new__(q.StandardScaler)], q.NaiveBayes(), "'steps' item 0"),  # never built
    ([], None, "'learner' must be a classifier"),
    ([], q.StandardScaler(), "'learner' must be a classifier"),
    ([], q.RegressionPipeline([], q.LinearRegression()), "'learner' must be a classifier"),
])
def test_bad_steps_and_learners_are_rejected_at_construction(steps, learner, message):
    with pytest.raises(TypeError, match=message):
        q.ClassificationPipeline(steps, learner)
    with pytest.raises(TypeError, match="'learner' must be a regressor"):
        q.RegressionPipeline([], q.NaiveBayes())


def test_bad_samples_and_calls_leave_every_step_unchanged():
    scaler, learner = q.StandardScaler(), q.NaiveBayes()
    pipeline = train(q.ClassificationPipeline([scaler], learner))
    before = (scaler.clone_state().transform_one(PROBES[0]), answers(learner))
    for bad in ({"a": 1.0, "b": "x"}, [("a", 1.0)], None):
        with pytest.raises(TypeError):
            pipeline.learn_one(bad, 1)
    with pytest.raises(TypeError):
        pipeline.learn_one({"a": 1.0}, 1.0)  # a float is no label
    with pytest.raises(TypeError):
        pipeline.learn_one(x={"a": 1.0}, y=1)
    assert (scaler.transform_one(PROBES[0]), answers(learner)) == before
