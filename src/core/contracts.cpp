#include "core/contracts.hpp"

namespace quelb {

namespace {

// The one-sample loops behind the default batch operations of the classifier and the regressor.
template <class Model, class Target>
void learn_rows(Model& model, const RowSource& rows, const Target* y) {
    RowCursor cursor(rows);
    for (std::size_t i = 0; i < rows.size(); ++i) model.learn_one(cursor.at(i), y[i]);
}

template <class Model, class Out>
void predict_rows(Model& model, const RowSource& rows, Out* out) {
    RowCursor cursor(rows);
    for (std::size_t i = 0; i < rows.size(); ++i) out[i] = model.predict_one(cursor.at(i));
}

template <class Model, class Target>
void test_then_train_rows(Model& model, const RowSource& rows, const Target* y, Target* out) {
    RowCursor cursor(rows);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const FeatureMap& x = cursor.at(i);
        out[i] = model.predict_one(x);
        model.learn_one(x, y[i]);
    }
}

}  // namespace

void IClassifier::learn_many(const RowSource& rows, const Label* y) { learn_rows(*this, rows, y); }
void IClassifier::predict_many(const RowSource& rows, Label* out) { predict_rows(*this, rows, out); }

void IClassifier::predict_proba_many(const RowSource& rows, ClassProbabilities* out) {
    RowCursor cursor(rows);
    for (std::size_t i = 0; i < rows.size(); ++i) out[i] = predict_proba_one(cursor.at(i));
}

void IClassifier::test_then_train_many(const RowSource& rows, const Label* y, Label* out) {
    test_then_train_rows(*this, rows, y, out);
}

void IRegressor::learn_many(const RowSource& rows, const double* y) { learn_rows(*this, rows, y); }
void IRegressor::predict_many(const RowSource& rows, double* out) { predict_rows(*this, rows, out); }

void IRegressor::test_then_train_many(const RowSource& rows, const double* y, double* out) {
    test_then_train_rows(*this, rows, y, out);
}

void IAnomalyDetector::learn_many(const RowSource& rows) {
    RowCursor cursor(rows);
    for (std::size_t i = 0; i < rows.size(); ++i) learn_one(cursor.at(i));
}

void IAnomalyDetector::score_many(const RowSource& rows, double* out) {
    RowCursor cursor(rows);
    for (std::size_t i = 0; i < rows.size(); ++i) out[i] = score_one(cursor.at(i));
}

void ITransformer::learn_many(const RowSource& rows, const double* y) {
    RowCursor cursor(rows);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (y) {
            learn_one(cursor.at(i), y[i]);
        } else {
            learn_one(cursor.at(i));
        }
    }
}

// transform_one is a copy transformed in place (overrides only skip the copy of what they drop).
// One row is reused here: copying into it allocates nothing once it has grown, and a sink that
// only reads it (a table) leaves it so; one that keeps it takes its memory.
void ITransformer::transform_many(const RowSource& rows, RowSink& out) {
    RowCursor cursor(rows);
    FeatureMap row;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        row = cursor.at(i);
        transform_one_inplace(row);
        out.add(std::move(row));
    }
}

void ITransformer::learn_one(const FeatureMap& x, double /*y*/) { learn_one(x); }

void IEncoder::learn_many(const RowSource& rows, const double* y) {
    if (!rows.has_categories()) return ITransformer::learn_many(rows, y);
    for (std::size_t i = 0; i < rows.size(); ++i) check(rows.mixed_row(i));
    for (std::size_t i = 0; i < rows.size(); ++i) learn_mixed(rows.mixed_row(i));
}

void IEncoder::transform_many(const RowSource& rows, RowSink& out) {
    if (!rows.has_categories()) return ITransformer::transform_many(rows, out);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        FeatureMap encoded;
        encode(rows.mixed_row(i), encoded);
        out.add(std::move(encoded));
    }
}

FeatureMap ITransformer::transform_one(const FeatureMap& x) {
    FeatureMap copy = x;
    transform_one_inplace(copy);
    return copy;
}

bool ITransformer::is_supervised() const { return false; }

void ITransformer::set_feature_order(const std::vector<std::string>& /*names*/) {}

}  // namespace quelb
