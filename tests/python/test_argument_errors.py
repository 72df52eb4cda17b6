"""A refused argument of a one-sample method: TypeError naming the method, the argument and the fault."""
import types

import _quelb_core as q
import pytest


@pytest.mark.parametrize(
    "x, y, message",
    [
        ({}, 1.0, "learn_one(): y must be an int within the signed 32-bit range, not float 1.0"),
        ({}, 2**31, "learn_one(): y must be an int within the signed 32-bit range, not int 2147483648"),
        ({"city": "Paris"}, 1, "learn_one(): x['city'] is a str, not a number (encode categories first)"),
        ([("a", 1.0)], 1, "learn_one(): x must be a mapping of str to float, not list"),
        ({"a": 1.0, 3: 2.0}, 1, "learn_one(): x has an int key 3; keys must be str"),
        ({"a": 10**400}, 1, "learn_one(): x['a'] is an int too large for a float"),
        (types.MappingProxyType({"a": 1.0, "b": None}), 1, "learn_one(): x['b'] is a NoneType, not a number"),
        # A long repr is cut before a whole character, never inside one.
        ({"a" + "é" * 40: None}, 1, "learn_one(): x['a" + "é" * 27 + "...] is a NoneType, not a number"),
    ],
)
def test_learn_one_names_the_refused_argument(x, y, message):
    model = q.NaiveBayes()
    with pytest.raises(TypeError) as raised:
        model.learn_one(x, y)
    assert str(raised.value) == message
    assert model.predict_one({}) == -1  # refused: nothing learned


def test_every_kind_of_one_sample_method_names_itself():
    cases = [
        (q.NaiveBayes().predict_proba_one, ({"a": "b"},), "predict_proba_one(): x['a'] is a str"),
        (q.LinearRegression().learn_one, ({}, "1"), "learn_one(): y must be a real number, not str '1'"),
        (q.StandardScaler().transform_one, (3,), "transform_one(): x must be a mapping of str to float, not int"),
        (q.OneHotEncoder().learn_one, ({"a": [1]},), "learn_one(): x['a'] is a list, not a number, str, bytes or None"),
        (q.HalfSpaceTrees().score_one, (None,), "score_one(): x must be a mapping"),
        (q.Accuracy().update, (1, 1.5), "update(): y_pred must be an int within the signed 32-bit range"),
        (q.ROCAUC().update, (1, None), "update(): score must be a real number, not NoneType None"),
        (q.ADWIN().update, ("a",), "update(): x must be a real number, not str 'a'"),
        (q.ClassificationPipeline([q.StandardScaler()], q.NaiveBayes()).learn_one, ({}, None), "learn_one(): y must"),
    ]
    for method, args, start in cases:
        with pytest.raises(TypeError) as raised:
            method(*args)
        assert str(raised.value).startswith(start), (start, str(raised.value))


def test_dict_changed_by_a_value_read_is_named():
    class Growing:
        def __float__(self):
            sample["other"] = 1.0
            return 1.0

    sample = {"a": Growing()}
    with pytest.raises(TypeError, match=r"learn_one\(\): x changed size while it was read"):
        q.NaiveBayes().learn_one(sample, 1)


def test_signatures_name_the_arguments():
    assert q.NaiveBayes.learn_one.__doc__.startswith("learn_one(self: _quelb_core.NaiveBayes, x: Mapping[str, float], y:")
    assert "y_true: " in q.Accuracy.update.__doc__ and "arg0" not in q.Accuracy.update.__doc__


def test_options_of_the_wrong_type_name_the_option():
    cases = [
        (lambda: q.HoeffdingTreeClassifier(grace_period="x"),
         "'grace_period' must be an int within the signed 32-bit range, not str 'x'"),
        (lambda: q.ADWIN(delta=None), "'delta' must be a real number, not NoneType None"),
        (lambda: q.HoeffdingTreeClassifier(max_bytes=1.5), "'max_bytes' must be an int or None, not float 1.5"),
        (lambda: setattr(q.HoeffdingTreeClassifier(), "split_confidence", [1]),
         "'split_confidence' must be a real number, not list [1]"),
        (lambda: setattr(q.HoeffdingTreeClassifier(), "split_criterion", 3), "'split_criterion' must be a str, not int 3"),
    ]
    for call, message in cases:
        with pytest.raises(TypeError) as raised:
            call()
        assert str(raised.value) == message


def test_attributes_are_set_as_on_any_object():
    model = q.HoeffdingTreeClassifier()
    model.__setattr__("grace_period", 50)
    object.__setattr__(model, "tie_threshold", 0.1)
    assert (model.grace_period, model.tie_threshold) == (50, 0.1)
    with pytest.raises(ValueError, match="'grace_period' must be greater than 0."):
        model.grace_period = 0
    assert model.grace_period == 50
