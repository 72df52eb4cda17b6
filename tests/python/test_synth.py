"""Stream generators: seeded determinism, the published concepts, the stated label balance and
concept drift."""
import math

import pytest

from quelb import synth

GENERATORS = [
    lambda seed: synth.SEA(seed=seed, n_samples=300),
    lambda seed: synth.Agrawal(function=4, seed=seed, n_samples=300),
    lambda seed: synth.Hyperplane(mag_change=0.01, seed=seed, n_samples=300),
    lambda seed: synth.RandomRBF(n_drift_centroids=10, change_speed=0.01, seed=seed, n_samples=300),
    lambda seed: synth.Friedman(drifts=[100], drift_width=50, seed=seed, n_samples=300),
]
CATEGORICAL = [
    lambda seed: synth.STAGGER(drifts=[100], seed=seed, n_samples=300),
    lambda seed: synth.Agrawal(categorical=True, seed=seed, n_samples=300),
]


@pytest.mark.parametrize("make", GENERATORS + CATEGORICAL)
def test_seeded_and_restartable(make):
    first = list(make(7))
    assert len(first) == 300 == len(make(7))
    assert first == list(make(7)), "same seed, same stream"
    stream = make(7)
    assert list(stream) == list(stream) == first, "a second pass restarts from the seed"
    assert first != list(make(8)), "another seed, another stream"
    x, y = first[0]
    assert len(x) == stream.n_features
    assert all(isinstance(k, str) and isinstance(v, str if stream.categorical else float) or
               k not in ("size", "color", "shape", "elevel", "car", "zipcode") for k, v in x.items())
    assert isinstance(y, float if stream.task == "regression" else int)


def labels(stream):
    return [y for _, y in stream]


@pytest.mark.parametrize("variant", range(4))
def test_sea_concept_and_balance(variant):
    clean = synth.SEA(variant=variant, noise=0.0, n_samples=20000, seed=1)
    theta = synth.SEA.THRESHOLDS[variant]
    for x, y in clean:
        assert 0.0 <= min(x.values()) and max(x.values()) <= 10.0
        assert y == int(x["x1"] + x["x2"] > theta)
    share = sum(labels(clean)) / 20000
    assert share == pytest.approx(clean.label_balance(), abs=0.01)
    noisy = synth.SEA(variant=variant, noise=0.1, n_samples=20000, seed=1)
    assert sum(labels(noisy)) / 20000 == pytest.approx(noisy.label_balance(), abs=0.01)


def test_balance_classes_alternates_labels():
    for stream in (synth.SEA(balance_classes=True, n_samples=1000),
                   synth.Agrawal(function=0, balance_classes=True, n_samples=1000)):
        assert labels(stream) == [i % 2 for i in range(1000)]


def test_hyperplane_is_balanced_and_rotates():
    still = synth.Hyperplane(noise=0.0, n_samples=20000, seed=3)
    assert sum(labels(still)) / 20000 == pytest.approx(0.5, abs=0.02)
    moving = synth.Hyperplane(noise=0.0, mag_change=0.05, sigma=0.0, n_samples=20000, seed=3)
    # Same draws, drifting weights: the features agree, the labels come to differ.
    pairs = list(zip(still, moving))
    assert all(a[0] == b[0] for a, b in pairs)
    assert sum(a[1] != b[1] for a, b in pairs[-5000:]) > 500
    assert sum(a[1] != b[1] for a, b in pairs[:20]) < 5


def test_agrawal_functions_and_ranges():
    stream = synth.Agrawal(function=0, perturbation=0.0, n_samples=3000, seed=5)
    for x, y in stream:
        assert y == (0 if x["age"] < 40 or x["age"] >= 60 else 1)  # F1: group A by age
        assert 20000 <= x["salary"] <= 150000 and 0 <= x["loan"] <= 500000
        assert x["commission"] == 0.0 if x["salary"] >= 75000 else 10000 <= x["commission"] <= 75000
        assert x["elevel"] in range(5) and x["zipcode"] in range(9) and 1 <= x["car"] <= 20
    # F7: disposable income decides the group.
    for x, y in synth.Agrawal(function=6, perturbation=0.0, n_samples=1000, seed=5):
        disposable = 2 * (x["salary"] + x["commission"]) / 3 - x["loan"] / 5 - 20000
        assert y == (0 if disposable > 0 else 1)


def test_stagger_concepts_balance_and_the_categorical_agrawal():
    stream = synth.STAGGER(drifts=[3000, 6000], n_samples=9000, seed=3)
    concepts = [lambda x: x["size"] == "small" and x["color"] == "red",
                lambda x: x["color"] == "green" or x["shape"] == "circular",
                lambda x: x["size"] in ("medium", "large")]
    rows = list(stream)
    assert all(y == int(concepts[t // 3000](x)) for t, (x, y) in enumerate(rows))
    for c, share in enumerate((1 / 9, 5 / 9, 2 / 3)):
        assert sum(y for _, y in rows[3000 * c:3000 * (c + 1)]) / 3000 == pytest.approx(share, abs=0.03)
    with pytest.raises(TypeError, match="categories"):
        next(stream.iter_arrays())
    numbers = synth.Agrawal(function=2, n_samples=500, seed=4)
    strings = synth.Agrawal(function=2, n_samples=500, seed=4, categorical=True)
    for (a, y), (b, z) in zip(numbers, strings):
        assert y == z and b == {k: str(int(v)) if k in ("elevel", "car", "zipcode") else v for k, v in a.items()}


def test_abrupt_drift_switches_concept_at_the_position():
    stream = synth.SEA(variant=0, noise=0.0, drifts=[500, 1000], n_samples=1500, seed=2)
    for t, (x, y) in enumerate(stream):
        theta = synth.SEA.THRESHOLDS[0 if t < 500 else 1 if t < 1000 else 2]
        assert y == int(x["x1"] + x["x2"] > theta), t
    # The drift uses its own draws: the features are those of the stream without drift.
    assert [x for x, _ in stream] == [x for x, _ in synth.SEA(noise=0.0, n_samples=1500, seed=2)]


def friedman_concept(x):
    v = [x[f"x{i}"] for i in range(1, 11)]
    old = 10 * math.sin(math.pi * v[0] * v[1]) + 20 * (v[2] - 0.5) ** 2 + 10 * v[3] + 5 * v[4]
    new = 10 * math.sin(math.pi * v[3] * v[4]) + 20 * (v[1] - 0.5) ** 2 + 10 * v[0] + 5 * v[2]
    return old, new


def test_gradual_drift_mixes_concepts_over_the_width():
    stream = synth.Friedman(noise_std=0.0, drifts=[2000], drift_width=1000, n_samples=4000, seed=4)
    from_new = []
    for x, y in stream:
        old, new = friedman_concept(x)
        assert y == pytest.approx(old) or y == pytest.approx(new)
        from_new.append(y == pytest.approx(new) and not y == pytest.approx(old))
    share = [sum(from_new[i:i + 500]) / 500 for i in range(0, 4000, 500)]
    assert share[0] < 0.01 and share[-1] > 0.99
    assert 0.1 < share[3] < 0.5 < share[4] < 0.9  # about half around the position


def test_random_rbf_centroids_and_classes():
    stream = synth.RandomRBF(n_classes=4, n_centroids=8, n_samples=4000, seed=9)
    assert stream.task == "multiclass classification"
    assert set(labels(stream)) <= {0, 1, 2, 3}
    # The centroids come from model_seed: a different sample seed keeps the same classes'
    # regions, so the class shares stay close.
    a = labels(synth.RandomRBF(n_classes=4, n_centroids=8, n_samples=4000, seed=9, model_seed=1))
    b = labels(synth.RandomRBF(n_classes=4, n_centroids=8, n_samples=4000, seed=10, model_seed=1))
    assert a != b
    for c in range(4):
        assert a.count(c) / 4000 == pytest.approx(b.count(c) / 4000, abs=0.03)


def test_endless_stream_and_bad_options():
    stream = synth.SEA(n_samples=None)
    with pytest.raises(TypeError, match="endless"):
        len(stream)
    it = iter(stream)
    assert len([next(it) for _ in range(50000)]) == 50000
    for bad in (lambda: synth.SEA(variant=4), lambda: synth.SEA(noise=2),
                lambda: synth.Agrawal(function=10), lambda: synth.Hyperplane(n_drift_features=11),
                lambda: synth.RandomRBF(n_classes=1), lambda: synth.Friedman(n_samples=-1)):
        with pytest.raises(ValueError):
            bad()
