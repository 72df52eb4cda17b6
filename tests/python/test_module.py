"""The module entry: docstring, contracts, registration order, ownership kinds."""
import _quelb_core as q
import pytest


def test_docstring_has_em_dash():
    assert q.__doc__ == "QUELB C++ core \u2014 streaming learners, preprocessing, metrics, drift, pipelines"


# The fixed registration order of every class the module may hold.
FULL_ORDER = [
    "ITransformer", "IClassifier", "IRegressor", "IAnomalyDetector", "NaiveBayes", "Perceptron",
    "LogisticRegressionClassifier", "PassiveAggressiveClassifier", "SoftmaxRegression",
    "KNNClassifier", "HoeffdingTreeClassifier", "EFDTClassifier", "SGTClassifier",
    "ARFClassifier", "SRPClassifier", "LeveragingBaggingClassifier",
    "HoeffdingAdaptiveTreeClassifier", "LinearRegression", "BayesianLinearRegression",
    "PassiveAggressiveRegressor", "KNNRegressor", "HoeffdingTreeRegressor", "ARFRegressor",
    "SRPRegressor", "FIMTDDRegressor", "LeveragingBaggingRegressor", "SGBTClassifier",
    "SGBRRegressor", "StandardScaler", "MinMaxScaler", "MaxAbsScaler", "VarianceThreshold",
    "SelectKBest", "OneHotEncoder", "OrdinalEncoder", "ClassificationPipeline", "RegressionPipeline", "Accuracy",
    "MacroPrecision", "MacroRecall", "MacroF1", "MAE", "RMSE", "WindowMetric",
    "WindowRegressionMetric", "R2", "ADWIN", "EDDM", "DDM", "HDDM_A", "HDDM_W", "PageHinkley",
    "KSWIN", "ROCAUC", "WindowROCAUC", "HalfSpaceTrees", "AnomalyPipeline",
]


def test_only_classes_in_registration_order():
    public = [name for name in vars(q) if not name.startswith("__")]
    assert all(isinstance(getattr(q, name), type) for name in public), "no functions or constants"
    assert public == [name for name in FULL_ORDER if name in public]
    assert public[:5] == ["ITransformer", "IClassifier", "IRegressor", "IAnomalyDetector", "NaiveBayes"]


@pytest.mark.parametrize("contract", [q.IClassifier, q.IRegressor, q.ITransformer, q.IAnomalyDetector])
def test_contracts_cannot_be_constructed(contract):
    with pytest.raises(TypeError, match=": No constructor defined!$"):
        contract()


def test_learners_derive_from_their_contract():
    assert isinstance(q.NaiveBayes(), q.IClassifier)
    assert not isinstance(q.Accuracy(), q.IClassifier)


def test_concrete_classes_can_be_subclassed():
    class Tagged(q.NaiveBayes):
        pass

    model = Tagged()
    model.tag = "mine"
    model.learn_one({"a": 1.0}, 2)
    assert model.predict_one({"a": 1.0}) == 2
