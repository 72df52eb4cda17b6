"""Category encoders, pipelines that take categories, and hostile categorical input."""
import copy
import ctypes
import gc
import pickle
import random

import _quelb_core as q
import pytest


def learned(encoder, *samples):
    for x in samples:
        encoder.learn_one(x)
    return encoder


def test_one_hot_names_zeros_unseen_and_options():
    e = learned(q.OneHotEncoder(), {"n": 1.0, "c": "red"}, {"c": "blue", "s": b"big"})
    assert e.transform_one({"n": 2.0, "c": "blue"}) == {"n": 2.0, "c=red": 0.0, "c=blue": 1.0}
    assert e.transform_one({"c": "green", "s": "big"}) == {"c=red": 0.0, "c=blue": 0.0, "s=big": 1.0}
    assert e.transform_one({"c": None, "new": "x"}) == {}  # None is absent; nothing known of "new"
    assert e.categories == {"c": ["red", "blue"], "s": ["big"]} and e.features is None
    e.sparse, e.drop_numeric = True, True
    assert e.transform_one({"n": 2.0, "c": "blue", "s": "small"}) == {"c=blue": 1.0}


def test_ordinal_codes_in_learning_order():
    o = learned(q.OrdinalEncoder(unknown_value=-7.0), {"c": "b"}, {"c": "a"}, {"c": "b", "d": "z"})
    assert o.transform_one({"c": "a", "d": "z", "n": 0.5}) == {"c": 1.0, "d": 0.0, "n": 0.5}
    assert o.transform_one({"c": "new", "e": "x"}) == {"c": -7.0, "e": -7.0}


@pytest.mark.parametrize("make", [q.OneHotEncoder, q.OrdinalEncoder])
def test_listed_features_encode_numbers_as_text_and_refuse_other_categories(make):
    e = learned(make(features=["zip"]), {"zip": 3, "a": 1.5}, {"zip": "x"})
    assert e.features == ["zip"] and e.categories == {"zip": ["3", "x"]}
    before = pickle.dumps(e)
    for bad in ({"zip": 3.0, "city": "Oslo"}, {"city": b"Oslo"}):
        with pytest.raises(TypeError, match="city"):
            e.learn_one(bad)
        with pytest.raises(TypeError, match="city"):
            e.transform_one(bad)
    assert pickle.dumps(e) == before


@pytest.mark.parametrize("make", [q.OneHotEncoder, q.OrdinalEncoder])
def test_values_refused_and_unchanged(make):
    e = learned(make(), {"c": "x"})
    before = pickle.dumps(e)
    with pytest.raises(ValueError, match="'c'"):
        e.learn_one({"c": b"\xff\xfe"})
    with pytest.raises(ValueError, match="'c'"):
        e.transform_one({"c": "\ud800"})
    for bad in ({"c": ["x"]}, {"c": bytearray(b"x")}, {"c": object()}, {1: "x"}, None):
        with pytest.raises(TypeError):
            e.learn_one(bad)
    assert pickle.dumps(e) == before
    with pytest.raises(TypeError):
        make(features="zip")


def test_bytes_values_are_categories_exactly_when_they_are_utf8():
    rng = random.Random(5)
    samples = [bytes(rng.choice([0x41, 0x7F, 0x80, 0xBF, 0xC0, 0xC2, 0xDF, 0xE0, 0xA0, 0xED, 0x9F, 0xF0, 0x90,
                                 0xF4, 0x8F, 0xF5, 0xFF]) for _ in range(rng.randint(1, 4))) for _ in range(3000)]
    samples += ["€".encode(), "🙂".encode(), "\ud7ff".encode(), b"\xed\xa0\x80", b"\xf4\x90\x80\x80"]
    e = q.OrdinalEncoder()
    for value in samples:
        try:
            text = value.decode("utf-8")
        except UnicodeDecodeError:
            with pytest.raises(ValueError):
                e.learn_one({"c": value})
        else:
            e.learn_one({"c": value})
            assert e.transform_one({"c": text}) == e.transform_one({"c": value})


def test_a_feature_switching_between_category_and_number():
    e = learned(q.OneHotEncoder(), {"f": "a"}, {"f": 2.0}, {"f": "b"})
    assert e.transform_one({"f": 2.0}) == {"f": 2.0}  # a number passes through
    assert e.transform_one({"f": "b"}) == {"f=a": 0.0, "f=b": 1.0}
    o = learned(q.OrdinalEncoder(), {"f": "a"}, {"f": 2.0})
    assert o.transform_one({"f": 2.0}) == {"f": 2.0} and o.transform_one({"f": "a"}) == {"f": 0.0}


def test_names_holding_equals_signs_keep_the_first_value():
    e = learned(q.OneHotEncoder(), {"a": "b=c", "a=b": "c"})
    # "a" = "b=c" and "a=b" = "c" both make "a=b=c": the first one in the sample stays.
    assert e.transform_one({"a": "b=c", "a=b": "x"}) == {"a=b=c": 1.0}
    assert e.transform_one({"a=b=c": 5.0, "a": "b=c"}) == {"a=b=c": 5.0}


def test_long_and_unicode_names_round_trip():
    long_name, long_value = "é" * 5000, "🙂" * 3000
    e = learned(q.OneHotEncoder(), {long_name: long_value, "名前": "東京", "": ""})
    out = e.transform_one({long_name: long_value, "名前": "大阪", "": ""})
    assert out == {f"{long_name}={long_value}": 1.0, "名前=東京": 0.0, "=": 1.0}
    assert pickle.loads(pickle.dumps(e)).transform_one({"名前": "東京"}) == {"名前=東京": 1.0}


def heap_in_use():
    libc = ctypes.CDLL("libc.so.6")

    class MallInfo2(ctypes.Structure):
        _fields_ = [(n, ctypes.c_size_t) for n in ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks",
                                                    "fsmblks", "uordblks", "fordblks", "keepcost")]

    libc.mallinfo2.restype = MallInfo2
    gc.collect()
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd


@pytest.mark.parametrize("make", [lambda: q.OneHotEncoder(sparse=True), q.OrdinalEncoder])
def test_many_categories_memory_is_proportional_and_reset_frees_it(make):
    n = 100_000
    e = make()
    before = heap_in_use()
    for i in range(n):
        e.learn_one({"id": f"user{i:07d}", "n": 1.0})
    grown = heap_in_use() - before
    assert len(e.categories["id"]) == n
    assert grown < 300 * n, f"{grown / n:.0f} bytes per category"  # one name and one table entry each
    assert e.transform_one({"id": f"user{n - 1:07d}"}) in ({"id=user0099999": 1.0}, {"id": n - 1.0})
    e.reset()
    assert heap_in_use() - before < 50 * n and pickle.dumps(e) == pickle.dumps(make())


def test_dense_output_of_a_large_vocabulary():
    e = learned(q.OneHotEncoder(), *({"c": str(i)} for i in range(20_000)))
    out = e.transform_one({"c": "7"})
    assert len(out) == 20_000 and sum(out.values()) == 1.0 and out["c=7"] == 1.0


STREAM = [({"colour": c, "size": s, "w": float(i % 5)}, int(c == "red" or s == "big"))
          for i, (c, s) in enumerate(zip(["red", "blue", "green", "blue"] * 30, ["big", "small", "small"] * 40))]


@pytest.mark.parametrize("make", [q.OneHotEncoder, lambda: q.OneHotEncoder(sparse=True), q.OrdinalEncoder])
def test_determinism_persistence_and_reset_equal_to_new(make):
    a, b = make(), make()
    for x, _ in STREAM:
        a.learn_one(x)
        b.learn_one(x)
        assert a.transform_one(x) == b.transform_one(x)
    for twin in (pickle.loads(pickle.dumps(a)), copy.deepcopy(a), a.clone_state()):
        assert pickle.dumps(twin) == pickle.dumps(a)
        twin.learn_one({"colour": "violet"})
        assert "violet" not in a.categories["colour"]
    a.reset()
    assert pickle.dumps(a) == pickle.dumps(make())


def test_pipeline_led_by_an_encoder_takes_categories_everywhere():
    pipeline = q.ClassificationPipeline([q.OneHotEncoder(), q.StandardScaler()], q.HoeffdingTreeClassifier(grace_period=20))
    encoder, scaler, tree = q.OneHotEncoder(), q.StandardScaler(), q.HoeffdingTreeClassifier(grace_period=20)
    for x, y in STREAM:
        assert pipeline.predict_one(x) == tree.predict_one(scaler.transform_one(encoder.transform_one(x)))
        pipeline.learn_one(x, y)
        encoder.learn_one(x)
        scaler.learn_one(encoder.transform_one(x))
        tree.learn_one(scaler.transform_one(encoder.transform_one(x)), y)
    x = {"colour": "red", "size": "small", "w": 1.0}
    assert pipeline.transform_one(x) == scaler.transform_one(encoder.transform_one(x))
    assert pipeline.predict_proba_one(x) == tree.predict_proba_one(pipeline.transform_one(x))
    regression = q.RegressionPipeline([q.OrdinalEncoder()], q.LinearRegression())
    regression.learn_one(x, 2.0)
    assert regression.predict_one(x) == regression.predict_one(dict(x))


def test_other_pipelines_keep_refusing_categories_and_refusals_change_nothing():
    plain = q.ClassificationPipeline([q.StandardScaler()], q.NaiveBayes())
    late = q.ClassificationPipeline([q.StandardScaler(), q.OneHotEncoder()], q.NaiveBayes())
    listed = q.ClassificationPipeline([q.OneHotEncoder(features=["colour"])], q.NaiveBayes())
    for pipeline in (plain, late, listed):
        pipeline.learn_one({"w": 1.0, "colour": "red"} if pipeline is listed else {"w": 1.0}, 1)
        before = pickle.dumps(pipeline)
        for call in (pipeline.learn_one, pipeline.predict_one, pipeline.transform_one):
            with pytest.raises(TypeError, match="encoder" if pipeline is not listed else "size"):
                call({"w": 1.0, "size": "big"}, *([1] if call == pipeline.learn_one else []))
        assert pickle.dumps(pipeline) == before


def frame_rows(pd, frame):
    """The dict path's rows of a DataFrame: its cells in column order, missing ones left out."""
    return [{k: v for k, v in row.items() if not pd.isna(v)} for row in frame.to_dict("records")]


def test_dataframes_with_categories_equal_the_dict_path():
    pd = pytest.importorskip("pandas")
    frame = pd.DataFrame({
        "w": [1.0, None, 3.0, 4.0],
        "colour": ["red", None, "blue", "red"],
        "size": pd.Categorical(["big", "small", None, "big"]),
        "name": pd.array(["x", "y", pd.NA, "x"], dtype="string"),
        "count": [1, 2, 3, 4],
    }, index=[10, 11, 12, 13])
    y, rows = [1, 0, 0, 1], frame_rows(pd, frame)
    encoder, reference = q.OneHotEncoder(), q.OneHotEncoder()
    encoder.learn_many(frame)
    learned(reference, *rows)
    assert pickle.dumps(encoder) == pickle.dumps(reference)
    out = encoder.transform_many(frame)
    assert list(out.index) == [10, 11, 12, 13]
    assert frame_rows(pd, out) == [reference.transform_one(x) for x in rows]
    assert encoder.transform_many(rows) == [reference.transform_one(x) for x in rows]
    batch, loop = (q.ClassificationPipeline([q.OneHotEncoder()], q.NaiveBayes()) for _ in range(2))
    expected = []
    for x, label in zip(rows, y):
        expected.append(loop.predict_one(x))
        loop.learn_one(x, label)
    assert batch.test_then_train_many(frame, y).tolist() == expected
    assert batch.predict_proba_many(rows) == [loop.predict_proba_one(x) for x in rows]
    assert pickle.dumps(batch) == pickle.dumps(loop)


def test_refused_batches_with_categories_change_nothing():
    pd = pytest.importorskip("pandas")
    listed = q.ClassificationPipeline([q.OneHotEncoder(features=["colour"])], q.NaiveBayes())
    listed.learn_many([{"colour": "red"}], [1])
    before = pickle.dumps(listed)
    bad = [
        (lambda: listed.learn_many([{"colour": "blue"}, {"size": "big"}], [0, 1]), TypeError, "size"),
        (lambda: listed.learn_many([{"colour": "blue"}, {"colour": b"\xff"}], [0, 1]), ValueError, "X[1]"),
        (lambda: listed.learn_many(pd.DataFrame({"colour": ["a", object()]}), [0, 1]), TypeError, "row 1"),
        (lambda: listed.learn_many(pd.DataFrame({"t": pd.to_datetime(["2020-01-01"])}), [0]), TypeError, "'t'"),
        (lambda: q.NaiveBayes().learn_many([{"colour": "red"}], [1]), TypeError, "X[0]"),
    ]
    for call, error, fragment in bad:
        with pytest.raises(error) as info:
            call()
        assert fragment in str(info.value)
    assert pickle.dumps(listed) == before
