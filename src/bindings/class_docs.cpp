// The docstring of every class of the module: what it does and, for a learner from the
// literature, the paper it follows; then (added where the class is bound) its Parameters from its
// options' help text; then, added here once every class is bound, its methods and properties.
#include "bindings/class_docs.hpp"

#include <string>
#include <string_view>

namespace quelb::bindings {

namespace py = pybind11;

namespace {

struct ClassSummary {
    std::string_view name;
    const char* text;
};

constexpr ClassSummary kSummaries[] = {
    {"IClassifier", "Base of the classifiers: learn_one(x, y) with an int label, predict_one, predict_proba_one."},
    {"IRegressor", "Base of the regressors: learn_one(x, y) with a float target, predict_one."},
    {"ITransformer", "Base of the transformers: learn_one, transform_one, a sample in and a sample out."},
    {"IAnomalyDetector", "Base of the anomaly detectors: learn_one(x), score_one(x)."},
    {"NaiveBayes",
     "Gaussian naive Bayes classifier: per class and feature, running mean and variance and a Gaussian\n"
     "likelihood; probabilities normalised in log space. No options."},
    {"Perceptron",
     "Multiclass perceptron: on a mistake, the true class's weights move up and the predicted class's\n"
     "down. Rosenblatt 1958, \"The perceptron: a probabilistic model for information storage and\n"
     "organization in the brain\", Psychological Review."},
    {"LogisticRegressionClassifier",
     "One-vs-rest logistic regression trained by stochastic gradient descent with L2 decay."},
    {"PassiveAggressiveClassifier",
     "Multiclass passive-aggressive classifier (PA-I): on a margin violation the true class moves up and\n"
     "the best wrong class down by a step capped at C. Crammer et al. 2006, \"Online passive-aggressive\n"
     "algorithms\", JMLR."},
    {"SoftmaxRegression", "Multinomial logistic regression trained by stochastic gradient descent with L2 decay."},
    {"KNNClassifier",
     "k-nearest-neighbours classifier over a sliding window of the latest samples (Minkowski\n"
     "distance); majority vote of the k nearest labels."},
    {"HoeffdingTreeClassifier",
     "Hoeffding tree (VFDT): an incremental decision tree that splits a leaf once the Hoeffding bound\n"
     "shows its best split is better than the second; Gaussian estimators for numeric features, leaves\n"
     "answer by majority class or naive Bayes. Domingos & Hulten 2000, \"Mining high-speed data\n"
     "streams\", KDD."},
    {"EFDTClassifier",
     "Hoeffding tree with information gain, under the name of the Extremely Fast Decision Tree\n"
     "(Manapragada, Webb & Salehi 2018, \"Extremely fast decision tree\", KDD). Splits are never\n"
     "revisited: it answers exactly as a HoeffdingTreeClassifier with the same options."},
    {"SGTClassifier",
     "Stochastic gradient tree for binary classification (labels above 0 are positive): leaves take\n"
     "Newton steps on the logistic loss and split when the gradient statistics show a gain. Gouk,\n"
     "Pfahringer & Frank 2019, \"Stochastic gradient trees\", ACML."},
    {"ARFClassifier",
     "Adaptive random forest: Hoeffding trees on random feature subsets, trained on Poisson-weighted\n"
     "samples, each watched by ADWIN detectors (a warning grows a background tree, a drift replaces\n"
     "the tree); votes weighted by accuracy. Gomes et al. 2017, \"Adaptive random forests for evolving\n"
     "data stream classification\", Machine Learning."},
    {"SRPClassifier",
     "Streaming random patches: Hoeffding trees each trained on a random subset of the features\n"
     "and on Poisson-weighted samples, with ADWIN warning and drift detectors per member. Gomes, Read\n"
     "& Bifet 2019, \"Streaming random patches for evolving data stream classification\", ICDM."},
    {"LeveragingBaggingClassifier",
     "Leveraging bagging: Hoeffding trees trained on Poisson(lambda_value) weighted samples, a tree\n"
     "replaced when its ADWIN detector signals a drift. Bifet, Holmes & Pfahringer 2010, \"Leveraging\n"
     "bagging for evolving data streams\", ECML PKDD."},
    {"HoeffdingAdaptiveTreeClassifier",
     "Hoeffding tree that adapts to drift: ADWIN detectors watch the answering tree's errors; a\n"
     "warning starts an alternate tree, a drift makes it the answering one. Adapts as a whole tree, not\n"
     "per node as in Bifet & Gavalda 2009, \"Adaptive learning from evolving data streams\", IDA."},
    {"SGBTClassifier",
     "Streaming gradient boosted trees: boosting steps of FIMT-DD regression trees learning the Newton\n"
     "targets of the logistic loss, one booster per class (or one for two classes). Gunasekara et al.\n"
     "2024, \"Gradient boosted trees for evolving data streams\", Machine Learning."},
    {"LinearRegression",
     "Linear regression trained by stochastic gradient descent on the squared error with L2 decay\n"
     "(errors and gradients clipped to [-10, 10])."},
    {"BayesianLinearRegression",
     "Bayesian linear regression: a diagonal Gaussian posterior per weight, updated sample by sample;\n"
     "predicts the posterior mean."},
    {"PassiveAggressiveRegressor",
     "Passive-aggressive regressor (PA-I) with an epsilon-insensitive loss. Crammer et al. 2006,\n"
     "\"Online passive-aggressive algorithms\", JMLR."},
    {"KNNRegressor",
     "k-nearest-neighbours regressor over a sliding window of the latest samples: inverse-distance\n"
     "weighted mean of the k nearest targets."},
    {"HoeffdingTreeRegressor",
     "Hoeffding tree for regression: splits a leaf when the Hoeffding bound separates the best split\n"
     "from the second; leaves answer by mean, linear model or whichever has erred less."},
    {"ARFRegressor",
     "Adaptive random forest for regression: Hoeffding regression trees on random feature subsets\n"
     "and Poisson-weighted samples, with ADWIN warning and drift detectors on their errors. Gomes et\n"
     "al. 2018, \"Adaptive random forests for data stream regression\", ESANN."},
    {"SRPRegressor",
     "Streaming random patches with Hoeffding regression trees (Gomes, Read & Bifet 2019, \"Streaming\n"
     "random patches for evolving data stream classification\", ICDM, applied to regression)."},
    {"FIMTDDRegressor",
     "FIMT-DD model tree: E-BST split search, perceptron leaves and Page-Hinkley drift detection that\n"
     "grows alternate subtrees. Ikonomovska, Gama & Dzeroski 2011, \"Learning model trees from\n"
     "evolving data streams\", Data Mining and Knowledge Discovery."},
    {"LeveragingBaggingRegressor",
     "Leveraging bagging with FIMT-DD regression trees, a tree replaced when the ADWIN detector on its\n"
     "normalised errors signals a drift. Bifet, Holmes & Pfahringer 2010, \"Leveraging bagging for\n"
     "evolving data streams\", ECML PKDD."},
    {"SGBRRegressor",
     "Streaming gradient boosted regression: boosting steps of FIMT-DD trees learning the residuals of\n"
     "the squared loss. Gunasekara et al. 2024, \"Gradient boosted trees for evolving data streams\",\n"
     "Machine Learning."},
    {"StandardScaler", "Scales each feature to zero mean and unit variance with running statistics per feature name."},
    {"MinMaxScaler", "Scales each feature to [0, 1] by the running minimum and maximum. No options."},
    {"MaxAbsScaler", "Divides each feature by its running largest absolute value. No options."},
    {"VarianceThreshold", "Drops the features whose running variance is at or below a threshold."},
    {"SelectKBest",
     "Keeps the k features with the strongest running Pearson correlation with the target (supervised:\n"
     "learn_one(x, y))."},
    {"OneHotEncoder",
     "Encodes each category value v of feature f as a feature \"f=v\" (1.0 for the sample's value, 0.0\n"
     "for the others learned); numbers pass through unless drop_numeric."},
    {"OrdinalEncoder", "Encodes each category of a feature as an integer code, in the order first learned."},
    {"ClassificationPipeline",
     "Transformers in order, then a classifier: learning, each step learns and transforms; predicting,\n"
     "each step transforms. Parts are shared with the caller, not copied."},
    {"RegressionPipeline",
     "Transformers in order, then a regressor: learning, each step learns and transforms; predicting,\n"
     "each step transforms. Parts are shared with the caller, not copied."},
    {"AnomalyPipeline",
     "Transformers in order, then an anomaly detector, learning and scoring like the other pipelines."},
    {"Accuracy", "Share of (y_true, y_pred) label pairs that agree, over the whole stream."},
    {"MacroPrecision", "Precision averaged over the labels seen, over the whole stream."},
    {"MacroRecall", "Recall averaged over the labels seen, over the whole stream."},
    {"MacroF1", "F1 score averaged over the labels seen, over the whole stream."},
    {"MAE", "Mean absolute error of (y_true, y_pred) pairs, over the whole stream."},
    {"RMSE", "Root mean squared error of (y_true, y_pred) pairs, over the whole stream."},
    {"R2", "Coefficient of determination 1 - SSE / SST over the whole stream (not clipped; 0.0 until two pairs)."},
    {"WindowMetric", "Accuracy and macro F1 over the last window_size (predicted, actual) label pairs."},
    {"WindowRegressionMetric", "MAE and RMSE over the last window_size (y_true, y_pred) pairs."},
    {"ROCAUC",
     "Exact area under the ROC curve of (y_true, score) pairs: label 1 is positive, any other negative;\n"
     "ties count one half, NaN scores are ignored."},
    {"WindowROCAUC", "Exact area under the ROC curve of the last window_size (y_true, score) pairs."},
    {"ADWIN",
     "ADWIN drift detector: an adaptive window of values, cut when two sub-windows have means that\n"
     "differ beyond the bound. Bifet & Gavalda 2007, \"Learning from time-changing data with adaptive\n"
     "windowing\", SDM."},
    {"EDDM",
     "Early drift detection method on the distance between classification errors (outcome 1 is an\n"
     "error). Baena-Garcia et al. 2006, \"Early drift detection method\", International Workshop on\n"
     "Knowledge Discovery from Data Streams."},
    {"DDM",
     "Drift detection method on the error rate of a classifier (outcome 1 is an error). Gama, Medas,\n"
     "Castillo & Rodrigues 2004, \"Learning with drift detection\", SBIA."},
    {"HDDM_A",
     "Drift detector comparing moving averages with Hoeffding's bound (the A-test), for values in [0, 1].\n"
     "Frias-Blanco et al. 2015, \"Online and non-parametric drift detection methods based on Hoeffding's\n"
     "bounds\", IEEE TKDE."},
    {"HDDM_W",
     "Drift detector comparing exponentially weighted averages with McDiarmid's bound (the W-test), for\n"
     "values in [0, 1]. Frias-Blanco et al. 2015, \"Online and non-parametric drift detection methods\n"
     "based on Hoeffding's bounds\", IEEE TKDE."},
    {"PageHinkley",
     "Page-Hinkley test: the faded cumulative deviation from the running mean against a threshold.\n"
     "Page 1954, \"Continuous inspection schemes\", Biometrika."},
    {"KSWIN",
     "Kolmogorov-Smirnov windowing: compares the latest values with as many drawn from the older ones\n"
     "of its window. Raab, Heusinger & Schleif 2020, \"Reactive soft prototype computing for concept\n"
     "drift streams\", Neurocomputing."},
    {"HalfSpaceTrees",
     "Half-space trees anomaly detector: random complete trees count masses in a reference and a latest\n"
     "window; score_one is in [0, 1], higher meaning more anomalous. Tan, Ting & Liu 2011, \"Fast anomaly\n"
     "detection for streaming data\", IJCAI."},
};

const char* summary_of(std::string_view name) {
    for (const ClassSummary& summary : kSummaries)
        if (summary.name == name) return summary.text;
    return nullptr;
}

// "Methods: a, b.\nProperties: c." for the public attributes of a class (inherited ones included),
// wrapped as help text.
std::string members_paragraph(py::handle cls) {
    const py::module_ builtins = py::module_::import("builtins");
    const py::module_ textwrap = py::module_::import("textwrap");
    std::string methods, properties;
    for (const py::handle name : builtins.attr("dir")(cls)) {
        const std::string text = py::str(name);
        if (text.empty() || text[0] == '_') continue;
        std::string& list = py::isinstance(cls.attr(name), builtins.attr("property")) ? properties : methods;
        list += (list.empty() ? "" : ", ") + text;
    }
    std::string out;
    const auto add = [&](const char* label, const std::string& names) {
        if (names.empty()) return;
        if (!out.empty()) out += "\n";
        out += textwrap.attr("fill")(std::string(label) + names + ".", 96, py::arg("subsequent_indent") = "    ")
                   .cast<std::string>();
    };
    add("Methods: ", methods);
    add("Properties: ", properties);
    return out;
}

}  // namespace

void document_classes(py::module_& m) {
    for (const auto& [name, value] : m.attr("__dict__").cast<py::dict>()) {
        if (!PyType_Check(value.ptr())) continue;
        std::string doc;
        if (const char* summary = summary_of(py::str(name).cast<std::string>())) doc = summary;
        const py::object own = value.attr("__doc__");
        if (!own.is_none()) doc += (doc.empty() ? "" : "\n\n") + own.cast<std::string>();
        const std::string members = members_paragraph(value);
        if (!members.empty()) doc += (doc.empty() ? "" : "\n\n") + members;
        value.attr("__doc__") = doc;
    }
}

}  // namespace quelb::bindings
