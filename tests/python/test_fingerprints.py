"""Every class gives exactly the results it gave when these fingerprints were recorded.

A fingerprint is the sha256 of the exact bits of everything readable after each step of a fixed
stream (predictions, probabilities, transformed samples, scores). Two streams: the drifting
six-feature stream with the stream options of the catalog (small grace periods, so trees split
and ensembles replace members), and a wider stream of 40 features with default options. A
changed fingerprint means a change of results: intended ones re-record the value printed by
`PYTHONPATH=build python3 tests/python/test_fingerprints.py` and say why in the commit.
"""
import hashlib
import random
import sys

import pytest

from catalog import KINDS, bits, present_entries
from test_determinism import drifting_stream

SEED = 42
NARROW_LENGTH, NARROW_HEAVY = 1500, 250
WIDE_LENGTH, WIDE_HEAVY = 600, 120


def wide_stream(seed, length, n_features=40):
    """Dense Gaussian features, a few missing per row, two labels and targets per step."""
    rng = random.Random(seed)
    names = [f"w{j:02d}" for j in range(n_features)]
    weights = [rng.gauss(0.0, 1.0) for _ in names]
    steps = []
    for _ in range(length):
        x = {name: rng.gauss(0.0, 1.0) for name in names if rng.random() > 0.1}
        score = sum(w * x.get(name, 0.0) for w, name in zip(weights, names))
        y = 0 if score < -1.0 else (1 if score < 1.0 else 2)
        y2 = y if rng.random() < 0.8 else rng.randint(0, 2)
        t = score + rng.gauss(0.0, 0.1)
        steps.append((x, y, y2, t, t + rng.gauss(0.0, 1.0)))
    return steps


def fingerprint(entry, wide):
    kind = KINDS[entry.kind]
    seed = {"seed": SEED} if entry.seeded else {}
    if wide:
        obj = entry.make_default(**seed)
        stream = wide_stream(5, WIDE_HEAVY if entry.heavy else WIDE_LENGTH)
    else:
        obj = entry.make(**seed)
        stream = drifting_stream(11, NARROW_HEAVY if entry.heavy else NARROW_LENGTH)
    digest = hashlib.sha256()
    for x, y, y2, t, t2 in stream:
        digest.update(repr(bits(kind.observe(obj, x))).encode())
        kind.feed(obj, x, y, y2, t, t2)
    return digest.hexdigest()[:32]


EXPECTED = {
    "NaiveBayes": ("77a41dfcc7dc0c252bc0f91b0dccd22f", "9a19605cf65100c0513761641a825f38"),
    "Perceptron": ("301819247110e8f1f13d9a39cd7a00ca", "4208703e36a10296de074efff9fc0531"),
    "LogisticRegressionClassifier": ("6cc16feb527b1b66e893f830d4726875", "660ed175ca74786eba819ffeea924fe3"),
    "PassiveAggressiveClassifier": ("9a803262658ef30c00fbd975a3ab9c3e", "58e9aab49a162402fcc60888881e4193"),
    "SoftmaxRegression": ("4f47023897b3cfaa614476dd6b87ccb9", "f665099b544515a0b9f92bb0139402d2"),
    "KNNClassifier": ("9be64ac0b789bcb8400ea04212e812da", "6b54c2ab17262c51ec9362a3e94a7ac3"),
    "HoeffdingTreeClassifier": ("97309fbcecf7149b4f8470b0795d9dda", "113fdcd79d61a656ec05c463a09f0f5c"),
    "EFDTClassifier": ("97309fbcecf7149b4f8470b0795d9dda", "113fdcd79d61a656ec05c463a09f0f5c"),
    "SGTClassifier": ("ec3005c5246d594f9cb7bee59cd47044", "e8365d82a182673f847a4b475e54f28b"),
    "ARFClassifier": ("62ddc952cf7aad290444eda874f9903f", "ab165610ac56aa84db6b553d28f33c47"),
    "SRPClassifier": ("09348e2e0cd7e65cea59b67b348ae01a", "6120351c4d9ee91a819e7c951b5e7350"),
    "LeveragingBaggingClassifier": ("627ce5dd0b331d2b417c3fd1873d2b35", "3c4f499614c2bb76bf705d62c38968a0"),
    "HoeffdingAdaptiveTreeClassifier": ("be3ce60976bd57e767dbbc30e32a8020", "113fdcd79d61a656ec05c463a09f0f5c"),
    "LinearRegression": ("af4e35436e3a254534844719a8a978bf", "4ac20422fc3004ac366606d35e3fb797"),
    "BayesianLinearRegression": ("caab61b7cab336fce68f4f7239fd9150", "e7abc06849682412e27621eea9118666"),
    "PassiveAggressiveRegressor": ("58fa2acac0633fe7b49b3a833470f2e6", "380f2f7bc81238ea6f64cc7fda962885"),
    "KNNRegressor": ("0d3eb44debcad3725b2133a46ad41f83", "92edf67eb4148170a9cb25cb54bdef06"),
    "HoeffdingTreeRegressor": ("dbfedf1d1d94afc6258d4e9197781d52", "6a887be63564ee29e2b02097d1a3e5ed"),
    "ARFRegressor": ("395b35e6e3ce518a5390a92b0c23f0cf", "3b4de6afc959c12bc6961d82bf32f047"),
    "SRPRegressor": ("49eef0bc29bbfb23f229359a29a0a3c1", "ce8d49e32383e5f1c501475b73888150"),
    "HoeffdingTreeRegressor[split_criterion=variance_reduction]": ("e26b1b2472e28c5731896168bcf6bbd1", "6a887be63564ee29e2b02097d1a3e5ed"),
    "ARFRegressor[split_criterion=variance_reduction]": ("7068b8d5f77e14a27ffdebb836b8dc79", "3b4de6afc959c12bc6961d82bf32f047"),
    "SRPRegressor[split_criterion=variance_reduction]": ("979b0aa51e44fd5b0096a085cfd7d06e", "ec2a8979eb7f08410f45e3afb32bdb78"),
    "FIMTDDRegressor": ("5f4990079fc58defe357c4c02b38699f", "bb462f8e3afecd95f8d99724a2d5bb56"),
    "LeveragingBaggingRegressor": ("4d87080acdbb66da03911294d86ad339", "9c50c4d026aa3ebb61195a5f5ec3e033"),
    "SGBTClassifier": ("eff13a192bf53ef7957253441bb77f84", "7194b1d68321c441ead40010021e3334"),
    "SGBRRegressor": ("be594504b236baf5f68925114677a104", "e06de157b36ac45a66805b8cc61a73eb"),
    "StandardScaler": ("11b4b3fadff75ff86c0d38f7eacdad72", "76d0ad0e64946f5d5d40049947decba4"),
    "MinMaxScaler": ("e0f4461aa75cf918abd327e62106443c", "f65804b8244d879208ee5232c41d235f"),
    "MaxAbsScaler": ("00f4b6c9b7a48f454bca7435f3b20920", "f569bf71417802f25402b396cfd520e5"),
    "VarianceThreshold": ("ad532a8acd25597f8e2b385e63db8823", "37d66fb1332190294becf0611a5789c3"),
    "SelectKBest": ("6e820df212d4ca1fe4c3b90a0da2fbae", "8e9e17a8702a95a58c06e1c0e0cf1d22"),
    "OneHotEncoder": ("9129f8961c615982be6d50a5afde93be", "b277a9172d112b5a623ddfa1fea6300d"),
    "OrdinalEncoder": ("d09f3efb5364793f1a29d29330a8cb46", "c6bc5ae7a37ee0b44f42eccabf492f03"),
    "ClassificationPipeline": ("8e340d5f9e87ce85d4bf947d881bd1cc", "5e763f3caf9ca7d6c7555d8d06a228fe"),
    "RegressionPipeline": ("9569183334d24dcdde64137b98de726e", "c4f1155a0241b9e58dfed1e126572fdc"),
    "Accuracy": ("083e7b34f22ef39b05b2c0e8f2eaaa41", "d9aae1f9fd1dcc5f7bd03a1ff63a1d46"),
    "MacroPrecision": ("f10cd1719df68f33facaf92f9278ba36", "279d097dc41df6b736a253bf5808533a"),
    "MacroRecall": ("a85103d0a20d975478f9c9abd98b47ca", "55da0871efa47877c4a4fc6f17f6d1d7"),
    "MacroF1": ("dc5e43216ed53dfae6a81679fcfe896a", "e36586942fca05e52d9aa4013e303801"),
    "MAE": ("ae4312cb42a9ae20bb5e0db514463eac", "9ff58050a1768f8a1f8dfdd9f145511a"),
    "RMSE": ("23b04e74a4b5a4d60c145964e5d2722a", "570df9bcc51210c5d6ff1e5ade56d859"),
    "WindowMetric": ("a0b91719e6b966aa1b89b2b856d24c0c", "02a79a1887bd163886ae4a0c2773e312"),
    "WindowRegressionMetric": ("66e27d77faa6c7cb17c4b1bf365a620d", "073a919ba50cf6020627fb18d6206eea"),
    "R2": ("f2f5a78fc0969a77f6b59840e29bce0f", "8b2837df7aeccbafe077312b48ab1ed8"),
    "ADWIN": ("aeb03fc74d99eadc223fbf69ec7c574c", "490b760b730a94d742e4f198545ee17c"),
    "EDDM": ("b32539df5661df14954c35db3e2c9dc4", "186f38209dccb9fa246d002b6913e7ba"),
    "DDM": ("b32539df5661df14954c35db3e2c9dc4", "75ee7dcab1b9151761651067903f9f80"),
    "HDDM_A": ("5380caa3259c348892693de451117dea", "91bda6e734d7e814c619d9b19acd4b10"),
    "HDDM_W": ("82edb663620f107e434a0717a69a368f", "c6388cac1ca4ed4adcd0d206595d4bbe"),
    "PageHinkley": ("5c60b9c3c708085bed563d63b329925f", "6da7cffef2913bf89db86deb9e770cf0"),
    "KSWIN": ("22ba5ac17b6dbfad7af5ba40180d9830", "87622ba4ac99c35f453b0e42c06efe34"),
    "ROCAUC": ("8780bf0ed9009ca500e3a958108a2d01", "881ec49046c0283b2270b31e28fc987e"),
    "WindowROCAUC": ("8601c2c12bc0d1371e33310b8a0b8002", "2ce25cb70cd7c142538fb963455651a6"),
    "HalfSpaceTrees": ("5c59caa7d3c203352efc0fad2ae0fd68", "bf117e60e809f4cf29bb6402dd57a1f4"),
    "AnomalyPipeline": ("5db016a051ef3b38950896a192abcb74", "a3850b2b5450d433e7b65b7b8a959d8d"),
}


@pytest.mark.parametrize("entry", present_entries(), ids=lambda e: e.id)
def test_results_match_the_recorded_fingerprints(entry):
    narrow, wide = EXPECTED[entry.id]
    assert (fingerprint(entry, False), fingerprint(entry, True)) == (narrow, wide)


if __name__ == "__main__":  # prints the table above from the current build
    for entry in present_entries():
        print(f'    "{entry.id}": ("{fingerprint(entry, False)}", "{fingerprint(entry, True)}"),')
    sys.stdout.flush()
