"""Conversion of samples, labels, floats and results at the module boundary."""
import collections
import pickle
import types
from decimal import Decimal
from fractions import Fraction

import _quelb_core as q
import _quelb_bench as bench
import pytest


class ItemsMapping:
    """Passes the interpreter's mapping check and has items(), but is no dict."""

    def __init__(self, pairs):
        self.pairs = pairs

    def __getitem__(self, key):
        return dict(self.pairs)[key]

    def __len__(self):
        return len(self.pairs)

    def items(self):
        return list(self.pairs)


class AbcMapping(collections.abc.Mapping):
    def __init__(self, data):
        self.data = data

    def __getitem__(self, key):
        return self.data[key]

    def __iter__(self):
        return iter(self.data)

    def __len__(self):
        return len(self.data)


class TestSamples:
    def test_dict_subclass_and_mappings_are_accepted(self):
        class D(dict):
            pass

        for sample in (
            {"a": 1.0},
            D(a=1.0),
            types.MappingProxyType({"a": 1.0}),
            collections.OrderedDict(a=1.0),
            ItemsMapping([("a", 1.0)]),
            AbcMapping({"a": 1.0}),
            {},
        ):
            assert bench.convert(sample) == len(sample)

    @pytest.mark.parametrize("bad", [[("a", 1.0)], None, "ab", b"ab", 3, 1.5, {"a", "b"}, ("a", 1.0)])
    def test_non_mappings_are_rejected(self, bad):
        with pytest.raises(TypeError):
            bench.convert(bad)
        with pytest.raises(TypeError):
            q.NaiveBayes().learn_one(bad, 1)

    def test_keys_may_be_str_bytes_or_bytearray(self):
        assert bench.convert({"a": 1.0, b"b": 2.0}) == 2
        # bytearray is unhashable, so it can only arrive through a non-dict mapping
        assert bench.convert(ItemsMapping([("a", 1.0), (bytearray(b"c"), 3.0)])) == 2

    @pytest.mark.parametrize("bad_key", [1, 1.5, None, ("a",), "\ud800"])
    def test_other_keys_are_rejected(self, bad_key):
        with pytest.raises(TypeError):
            bench.convert({"ok": 1.0, bad_key: 2.0})

    def test_str_and_bytes_keys_with_equal_bytes_are_one_feature_first_value_wins(self):
        model = q.NaiveBayes()
        # Two keys that map to the same name: one feature, the first value wins.
        assert bench.convert({"a": 1.0, b"a": 2.0}) == 1
        assert bench.convert(ItemsMapping([("a", 1.0), ("a", 2.0)])) == 1
        # The first value is the one learned: predicting 1.0 beats 2.0 after learning it.
        for _ in range(3):
            model.learn_one(ItemsMapping([("a", 1.0), ("a", 50.0)]), 1)
            model.learn_one({"a": 50.0}, 2)
        assert model.predict_one({"a": 1.0}) == 1

    def test_unicode_names_are_utf8(self):
        model = q.NaiveBayes()
        model.learn_one({"é": 1.0}, 1)
        model.learn_one({"é": 3.0}, 1)
        model.learn_one({"é".encode(): 10.0}, 2)
        model.learn_one({"é".encode(): 12.0}, 2)
        assert model.predict_one({"é": 2.0}) == 1
        assert model.predict_one({b"\xc3\xa9": 11.0}) == 2

    @pytest.mark.parametrize("value", [1, True, False, 2**53, Decimal("1.5"), Fraction(1, 3), float("nan"), float("inf")])
    def test_numeric_values_are_accepted(self, value):
        assert bench.convert({"a": value}) == 1

    def test_numpy_values_are_accepted(self):
        np = pytest.importorskip("numpy")
        assert bench.convert({"a": np.float64(1.5), "b": np.int32(2), "c": np.float32(0.5)}) == 3

    @pytest.mark.parametrize("bad_value", ["1.0", b"1", None, [1.0], 10**400, object()])
    def test_non_numeric_values_are_rejected(self, bad_value):
        with pytest.raises(TypeError):
            bench.convert({"a": bad_value})

    def test_rejected_sample_leaves_the_model_unchanged(self):
        model = q.NaiveBayes()
        with pytest.raises(TypeError):
            model.learn_one({"a": 1.0, "b": "x"}, 7)
        assert model.predict_one({"a": 1.0}) == -1
        assert model.predict_proba_one({}) == {}

    def test_items_raising_is_a_type_error_not_a_crash(self):
        class Broken(ItemsMapping):
            def items(self):
                raise RuntimeError("boom")

        with pytest.raises(TypeError):
            bench.convert(Broken([]))

    @pytest.mark.parametrize("then_raise", [False, True])
    def test_a_value_that_empties_its_sample_while_read_is_safe(self, then_raise):
        # The value's float conversion runs Python code that drops every other entry of the dict
        # being read, names and values included; the conversion must not touch them afterwards.
        class Emptying:
            def __init__(self, sample):
                self.sample = sample

            def __float__(self):
                self.sample.clear()
                if then_raise:
                    raise ValueError("no number")
                return 1.0

        for position in (0, 5, 19):
            sample = {"".join(["name", str(i)]): float(i) for i in range(20)}  # names owned by the dict only
            sample["name" + str(position)] = Emptying(sample)
            model = q.NaiveBayes()
            try:
                model.learn_one(sample, 1)
            except TypeError:
                assert model.predict_one({}) == -1  # refused: unchanged
            else:
                assert model.predict_one({}) == 1

    def test_a_value_that_empties_its_pair_while_read_is_safe(self):
        class Emptying:
            def __float__(self):
                pair.clear()
                raise ValueError("no number")

        pair = ["name" + str(7), Emptying()]  # a pair the mapping hands out as a list
        with pytest.raises(TypeError):
            bench.convert(ItemsMapping([pair]))

    def test_matches_the_stock_conversion(self):
        np = pytest.importorskip("numpy")

        class Name(str):
            pass

        class Number(float):
            pass

        samples = [
            {f"f{i}": float(i) for i in range(100)},
            {},
            {"é": 1.0, "naïve_ü": -2.5, "日本": 3.0, "plain": 4.0},
            {"a": 1, "b": True, "c": np.float64(0.5), "d": np.int32(-7), "e": Number(2.5)},
            {Name("x"): 1.0, "y": float("nan"), "z": float("-inf"), "w": -0.0, "v": 1e308},
            {"a" * 40: 1.0, "": 2.0, "mixed": 1, "s": 1e-320},
        ]
        for sample in samples:
            ours, stock = bench.echo(sample), bench.stock_echo(sample)
            assert set(ours) == set(stock) and all(type(k) is str for k in ours)
            assert all(repr(ours[k]) == repr(stock[k]) for k in stock)  # NaN and -0.0 alike
        # A name given as bytes first is one feature with the str name, first value kept.
        assert bench.echo({b"a": 1.0, "a": 2.0, "b": 3.0}) == {"a": 1.0, "b": 3.0}

    def test_a_name_spelled_by_two_str_subclass_keys_is_one_feature(self):
        class Name(str):  # its own hash and equality: a dict holds two keys spelling "a"
            def __hash__(self):
                return id(self)

            def __eq__(self, other):
                return self is other

        assert bench.echo({Name("a"): 1.0, Name("a"): 2.0, "b": 3.0}) == {"a": 1.0, "b": 3.0}
        encoder, plain = q.OrdinalEncoder(), q.OrdinalEncoder()
        encoder.learn_one({Name("c"): "x", Name("c"): "y"})
        plain.learn_one({"c": "x"})
        assert pickle.dumps(encoder) == pickle.dumps(plain)
        assert bench.echo({"a": 1.0, b"a": 2.0, "b": 3.0}) == {"a": 1.0, "b": 3.0}


class TestLabels:
    def test_bool_label_is_one(self):
        model = q.NaiveBayes()
        model.learn_one({}, True)
        assert model.predict_one({}) == 1

    @pytest.mark.parametrize("bad", [1.0, 2**31, -(2**31) - 1, "1", None])
    def test_bad_labels_are_rejected(self, bad):
        with pytest.raises(TypeError):
            q.NaiveBayes().learn_one({}, bad)
        with pytest.raises(TypeError):
            q.Accuracy().update(bad, 1)

    def test_range_ends_and_negative_labels_are_valid(self):
        model = q.NaiveBayes()
        for label in (2**31 - 1, -(2**31), -5):
            model.learn_one({}, label)
        assert set(model.predict_proba_one({})) == {2**31 - 1, -(2**31), -5}

    def test_index_protocol_and_other_numbers(self):
        np = pytest.importorskip("numpy")
        model = q.NaiveBayes()
        model.learn_one({}, np.int64(4))
        model.learn_one({}, Fraction(7, 2))  # truncated through int()
        assert set(model.predict_proba_one({})) == {4, 3}


class TestCalls:
    def test_keyword_calls_of_contract_methods_are_rejected(self):
        model = q.NaiveBayes()
        with pytest.raises(TypeError):
            model.learn_one(x={"a": 1.0}, y=1)
        with pytest.raises(TypeError):
            model.predict_one(x={"a": 1.0})

    def test_results_are_fresh_objects(self):
        model = q.NaiveBayes()
        model.learn_one({"a": 1.0}, 1)
        first = model.predict_proba_one({"a": 1.0})
        first[1] = 42.0
        first[99] = 1.0
        assert model.predict_proba_one({"a": 1.0}) == {1: 1.0}

    def test_mutating_the_sample_after_learning_does_not_reach_the_model(self):
        model = q.NaiveBayes()
        x = {"a": 1.0}
        model.learn_one(x, 1)
        x["a"] = "not a number"
        assert model.predict_one({"a": 1.0}) == 1


class TestResults:
    def test_transformed_names_are_plain_str_whatever_the_input_keys(self):
        class Name(str):
            pass

        scaler, selector = q.StandardScaler(with_std=False), q.VarianceThreshold()
        samples = [{"a": 1.0, Name("b"): 2.0, b"c": 3.0, "é": 4.0, "d": 5.0, "const": 1.0},
                   {"d": 2.0, "a": 3.0, Name("b"): 1.0, b"c": 0.0, "é": 1.0, "const": 1.0}]
        for x in samples:
            scaler.learn_one(x)
            selector.learn_one(x)
        for x in samples:
            out = scaler.transform_one(x)
            assert set(out) == {"a", "b", "c", "é", "d", "const"}
            assert all(type(k) is str for k in out)
            kept = selector.transform_one(x)
            assert set(kept) == {"a", "b", "c", "é", "d"} and all(type(k) is str for k in kept)
            assert all(kept[k] == x.get(k, x.get(k.encode())) for k in kept)

    @pytest.mark.parametrize("make", [lambda: q.StandardScaler(with_std=False), q.VarianceThreshold])
    def test_a_name_that_is_not_utf8_raises_unicode_decode_error_from_the_result(self, make):
        transformer = make()
        transformer.learn_one({b"\xff\xfe": 1.0, "a": 2.0})
        with pytest.raises(UnicodeDecodeError):
            transformer.transform_one({b"\xff\xfe": 1.0, "a": 2.0})
        # The failed result leaves nothing behind: the next call converts as usual.
        assert set(transformer.transform_one({"a": 2.0, b"b": 1.0})) == {"a", "b"}
