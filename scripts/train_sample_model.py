#!/usr/bin/python3
"""Trains small scikit-learn models on the sample lending data and saves them for the prediction tests.

    /usr/bin/python3 scripts/train_sample_model.py OUT_DIR [--data data/sample/loans.csv]

Runs with Debian's python3 (python3-sklearn, python3-pandas, python3-joblib). Writes in OUT_DIR:

- classifier.pkl, classifier.joblib: a logistic regression predicting `defaulted` from amount, term_months,
  interest_rate and age (pickle, and joblib compressed);
- regressor.pkl: a decision tree predicting interest_rate from amount, term_months and age;
- pipeline.pkl: one-hot encoded region, purpose and gender (text, with missing values) and imputed numbers
  (amount, income, employment_years, age) into a decision tree predicting `defaulted`;
- predictions.csv: scikit-learn's own predictions of the three models for every row (by loan_id), to compare
  with the engine's batch predictions;
- probes and broken models for the conversion and error tests: objects whose `predict` is a plain function of
  the table (row sums, non-null counts, ...), a model predicting text labels, an object without `predict`, and a
  file that is not a pickle.
"""
import argparse
import math
import operator
import os
import pickle
import types

import joblib
import numpy as np
import pandas as pd
from sklearn.compose import ColumnTransformer
from sklearn.impute import SimpleImputer
from sklearn.linear_model import LogisticRegression
from sklearn.pipeline import Pipeline
from sklearn.preprocessing import OneHotEncoder
from sklearn.tree import DecisionTreeClassifier, DecisionTreeRegressor

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CLASSIFIER_FEATURES = ["amount", "term_months", "interest_rate", "age"]
REGRESSOR_FEATURES = ["amount", "term_months", "age"]
PIPELINE_TEXT = ["region", "purpose", "gender"]
PIPELINE_NUMBERS = ["amount", "income", "employment_years", "age"]


def dump(obj, out, name):
    with open(os.path.join(out, name), "wb") as f:
        pickle.dump(obj, f)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out")
    parser.add_argument("--data", default=os.path.join(ROOT, "data", "sample", "loans.csv"))
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)
    data = pd.read_csv(args.data)
    # Missing text reaches the model as None (as the engine hands it over), not as pandas' NaN.
    for c in PIPELINE_TEXT:
        data[c] = data[c].astype(object).where(data[c].notna(), None)

    clf = LogisticRegression(max_iter=1000).fit(data[CLASSIFIER_FEATURES], data["defaulted"])
    reg = DecisionTreeRegressor(max_depth=5, random_state=0).fit(data[REGRESSOR_FEATURES], data["interest_rate"])
    pipeline = Pipeline([
        ("columns", ColumnTransformer([
            ("text", OneHotEncoder(handle_unknown="ignore"), PIPELINE_TEXT),
            ("numbers", SimpleImputer(strategy="median"), PIPELINE_NUMBERS),
        ])),
        ("tree", DecisionTreeClassifier(max_depth=6, random_state=0)),
    ]).fit(data[PIPELINE_TEXT + PIPELINE_NUMBERS], data["defaulted"])
    dump(clf, args.out, "classifier.pkl")
    joblib.dump(clf, os.path.join(args.out, "classifier.joblib"), compress=3)
    dump(reg, args.out, "regressor.pkl")
    dump(pipeline, args.out, "pipeline.pkl")
    pd.DataFrame({
        "loan_id": data["loan_id"],
        "classifier": clf.predict(data[CLASSIFIER_FEATURES]).astype(float),
        "regressor": reg.predict(data[REGRESSOR_FEATURES]).astype(float),
        "pipeline": pipeline.predict(data[PIPELINE_TEXT + PIPELINE_NUMBERS]).astype(float),
    }).to_csv(os.path.join(args.out, "predictions.csv"), index=False, float_format="%.17g")

    # Probes: what the table handed to `predict` holds, read back through the predictions.
    probe = types.SimpleNamespace
    dump(probe(predict=operator.methodcaller("sum", axis=1, numeric_only=True)), args.out, "row_sum.pkl")
    dump(probe(predict=operator.methodcaller("count", axis=1)), args.out, "non_null_count.pkl")
    dump(probe(predict=operator.methodcaller("astype", "int64")), args.out, "as_int64.pkl")
    # Broken models.
    dump(probe(predict=math.sqrt), args.out, "raises.pkl")          # TypeError on a table
    dump(probe(predict=np.ravel), args.out, "ravel.pkl")            # one value per cell, not per row
    dump(probe(predict=operator.methodcaller("isna")), args.out, "per_cell.pkl")  # a table, not a column
    text_labels = LogisticRegression(max_iter=1000).fit(
        data[CLASSIFIER_FEATURES], np.where(data["defaulted"] == 1, "yes", "no"))
    dump(text_labels, args.out, "text_labels.pkl")
    dump({"weights": [1, 2, 3]}, args.out, "not_a_model.pkl")
    with open(os.path.join(args.out, "garbage.pkl"), "wb") as f:
        f.write(b"this is not a pickle")


if __name__ == "__main__":
    main()
