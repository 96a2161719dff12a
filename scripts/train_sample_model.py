#!/usr/bin/python3
"""Trains two small scikit-learn models on the sample lending data and saves them for the tests.

    /usr/bin/python3 scripts/train_sample_model.py OUT_DIR [--data data/sample/loans.csv]

Writes in OUT_DIR: classifier.pkl and classifier.joblib (a logistic regression predicting `defaulted` from
amount, term_months, interest_rate and age), regressor.pkl (a decision tree predicting interest_rate from amount,
term_months and age), and predictions.csv with scikit-learn's own predictions of both for every row, for
comparison with the engine's batch predictions. Runs with Debian's python3 and python3-sklearn.
"""
import argparse
import os
import pickle

import joblib
import pandas as pd
from sklearn.linear_model import LogisticRegression
from sklearn.tree import DecisionTreeRegressor

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CLASSIFIER_FEATURES = ["amount", "term_months", "interest_rate", "age"]
REGRESSOR_FEATURES = ["amount", "term_months", "age"]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out")
    parser.add_argument("--data", default=os.path.join(ROOT, "data", "sample", "loans.csv"))
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)
    data = pd.read_csv(args.data)
    clf = LogisticRegression(max_iter=1000).fit(data[CLASSIFIER_FEATURES], data["defaulted"])
    reg = DecisionTreeRegressor(max_depth=5, random_state=0).fit(data[REGRESSOR_FEATURES], data["interest_rate"])
    with open(os.path.join(args.out, "classifier.pkl"), "wb") as f:
        pickle.dump(clf, f)
    joblib.dump(clf, os.path.join(args.out, "classifier.joblib"))
    with open(os.path.join(args.out, "regressor.pkl"), "wb") as f:
        pickle.dump(reg, f)
    # An object without predict, and a model whose predict fails, for the error tests.
    with open(os.path.join(args.out, "not_a_model.pkl"), "wb") as f:
        pickle.dump({"weights": [1, 2, 3]}, f)
    with open(os.path.join(args.out, "garbage.pkl"), "wb") as f:
        f.write(b"this is not a pickle")
    pd.DataFrame({
        "loan_id": data["loan_id"],
        "classifier": clf.predict(data[CLASSIFIER_FEATURES]).astype(float),
        "regressor": reg.predict(data[REGRESSOR_FEATURES]).astype(float),
    }).to_csv(os.path.join(args.out, "predictions.csv"), index=False)


if __name__ == "__main__":
    main()
