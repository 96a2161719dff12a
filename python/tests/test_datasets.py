"""Datasets, statistics, metrics, predictions and the scan from Python, checked against independent
computations on the same rows (numpy, scikit-learn, scipy) and against the command's JSON report."""
import json
import os
import subprocess
import sys

import numpy as np
import pandas as pd
import pyarrow as pa
import pytest

from conftest import LOANS

FEATURES = ["amount", "term_months", "interest_rate", "age"]


@pytest.fixture(scope="module")
def ds(ns, loans_pd):
    return ns.SimpleSparkDatasetBuilder.dataset(
        features=loans_pd, label="defaulted", prediction="predicted", id_col=["loan_id", "applicant_id"],
        date_col=["application_date"], convert_date_cols=True, name="loans",
    )


@pytest.fixture(scope="module")
def bias_ds(ns, loans_pd):
    params = ns.BiasSparkDatasetBuilder.bias_params(
        protected="gender", privileged=["M"], unprivileged=["F"], positive_outcome_label=1, negative_outcome_label=0
    )
    return ns.BiasSparkDatasetBuilder.dataset(
        features=loans_pd, label="defaulted", prediction="predicted", id_col=["loan_id", "applicant_id"],
        date_col=["application_date"], convert_date_cols=True, bias_params=params, name="loans_bias",
    )


def test_dataset_shape_and_splits(ds, loans_pd):
    assert isinstance(ds.checksum(), dict)
    assert ds.number_of_samples() == len(loans_pd)
    assert ds.number_of_training_samples() + ds.number_of_validation_samples() + ds.number_of_testing_samples() == len(
        loans_pd
    )
    assert ds.target_name == "defaulted" and ds.prediction_name == "predicted"
    assert "loan_id" not in ds.feature_names and "amount" in ds.feature_names
    assert set(ds.id_feature_names) == {"loan_id", "applicant_id"}


def test_statistics_match_numpy(ns, ds, loans_pd):
    income = loans_pd["income"].dropna()
    # The engine's approximate median is one of the column's values, within its accuracy of the exact one.
    assert ds.median("income") in set(income)
    assert abs(ds.median("income") - income.median()) <= income.std() / 50
    assert ds.mean("income") == pytest.approx(income.mean(), rel=1e-12)
    assert ds.feature_min("amount") == loans_pd["amount"].min()
    assert ds.feature_max("amount") == loans_pd["amount"].max()
    assert ds.filter_count("amount > 10000") == int((loans_pd["amount"] > 10000).sum())
    assert sorted(ds.get_feature_categories("region")) == sorted(loans_pd["region"].dropna().unique())
    q = ds.quantiles("age", [0.0, 1.0])
    assert q == [loans_pd["age"].min(), loans_pd["age"].max()]
    train = ds.median("amount", ns.DatasetSegment.TRAINING)
    assert train in set(loans_pd["amount"])


def test_profile_histogram_and_violations(ds, loans_pd):
    profile = ds.generate_data_profile()
    by_name = {f["feature"]: f for f in profile["features"]}
    assert by_name["income"]["missing_values"] == int(loans_pd["income"].isna().sum())
    assert by_name["amount"]["minimum"] == loans_pd["amount"].min()
    assert by_name["region"]["distinct_values"] == loans_pd["region"].nunique(dropna=False)
    with pytest.raises(NotImplementedError):
        ds.generate_data_profile(group_by=["region"])

    labels, counts = ds.histogram("region")
    expected = loans_pd["region"].value_counts(dropna=False)
    assert sum(counts) == len(loans_pd) and counts[0] == expected.iloc[0]

    dup_columns = [c for c in loans_pd.columns if c not in ("loan_id", "applicant_id")]
    dups = ds.check_duplicate_row_violations()
    assert len(dups) == int(loans_pd.duplicated(subset=dup_columns, keep=False).sum())
    order = ds.check_column_ordering_violations("amount", "income")
    assert len(order) == int((loans_pd["income"] > loans_pd["amount"]).sum())
    if order:
        position, row = order[0]
        assert row["income"] > row["amount"]
    missing = ds.check_missing_ids("applicant_id")
    assert len(missing) == int(loans_pd["applicant_id"].isna().sum())


def test_checksums_equal_for_the_same_rows(ns, loans_pd):
    # The same rows reached by three roads (CSV reader, pandas, Arrow round trip) give the same checksums.
    spark = ns.session()
    from_csv = spark.read.csv(LOANS)
    kw = dict(label="defaulted", prediction="predicted", id_col=["loan_id"], register_creation=False)
    a = ns.SimpleSparkDatasetBuilder.dataset(features=from_csv, **kw)
    b = ns.SimpleSparkDatasetBuilder.dataset(features=ns.from_arrow(from_csv.toArrow()), **kw)
    # The random split depends on the frame's partitioning (as in Spark), so only the overall checksum is equal.
    assert a.overall_checksum() == b.overall_checksum()
    assert len(a.overall_checksum()) == 16
    c = ns.SimpleSparkDatasetBuilder.dataset(features=from_csv.filter("amount > 5000"), **kw)
    assert c.overall_checksum() != a.overall_checksum()


def test_metrics_match_scikit_learn(ns, ds, loans_pd):
    from sklearn import metrics

    params = ds.get_metric_calculation_params()
    frame = params.frame
    data = frame.toPandas()
    y, p = data["defaulted"], data["predicted"]
    kw = dict(pred="predicted", label="defaulted")
    r2 = lambda x: float(np.round(x, 2))
    assert ns.accuracy(frame, **kw) == r2(metrics.accuracy_score(y, p))
    assert ns.true_pos_rate(frame, **kw) == r2(metrics.recall_score(y, p))
    assert ns.true_neg_rate(frame, **kw) == r2(metrics.recall_score(y, p, pos_label=0))
    assert ns.demographic_parity(frame, **kw) == r2((p == 1).mean())
    assert ns.calculate("accuracy", frame, **kw) == ns.accuracy(frame, **kw)
    groups = dict(protected="gender", privileged=["M"], unprivileged=["F"])
    diff = ns.metric_diff(frame, metric="accuracy", **kw, **groups)
    m, f = data[data.gender == "M"], data[data.gender == "F"]
    expected = r2(metrics.accuracy_score(m.defaulted, m.predicted)) - r2(metrics.accuracy_score(f.defaulted, f.predicted))
    assert diff == pytest.approx(expected, abs=0.011)
    with pytest.raises(ns.AnalysisException, match="nope"):
        ns.accuracy(frame, pred="nope", label="defaulted")
    with pytest.raises(ns.CalculationNotFound):
        ns.calculate("no_such_metric", frame, **kw)


def test_ks_2samp_matches_scipy(ns, ds, loans_pd):
    stats = pytest.importorskip("scipy.stats")
    a = ds.feature_training("amount")
    b = ds.feature_validation("amount")
    statistic, pvalue = ns.ks_2samp(a, b)
    ref = stats.ks_2samp(a.toPandas()["amount"], b.toPandas()["amount"])
    assert statistic == pytest.approx(ref.statistic, abs=1e-12)
    assert 0.0 <= pvalue <= 1.0 and abs(pvalue - ref.pvalue) < 0.05
    # From pandas directly, and the empty-sample rule.
    s, p = ns.ks_2samp(pd.DataFrame({"x": [1.0, 2.0]}), pd.DataFrame({"x": pd.Series([], dtype="float64")}))
    assert s is None and p == 1.0


def test_bias_dataset(bias_ds, loans_pd):
    assert bias_ds.protected_name == "gender"
    assert bias_ds.number_of_samples() == len(loans_pd)
    women = bias_ds.filter("gender = 'F'")
    assert women.number_of_samples() == int((loans_pd["gender"] == "F").sum())


def test_errors_map_to_python(ns, loans_pd):
    assert issubclass(ns.DatasetError, Exception) and not issubclass(ns.DatasetError, ValueError)
    with pytest.raises((ValueError, ns.DatasetError)) as info:
        ns.SimpleSparkDatasetBuilder.dataset(features=loans_pd, label="no_such_label", register_creation=False)
    assert "no_such_label" in str(info.value)
    with pytest.raises(TypeError, match="unexpected keyword argument 'lable'"):
        ns.SimpleSparkDatasetBuilder.dataset(features=loans_pd, lable="defaulted")


class Threshold:
    """A model object defined here: no pickle file involved."""

    def predict(self, table):
        return (table["amount"] > 10000).astype(int).to_numpy()


def test_predictions_from_a_model_object(ns, loans_pd):
    sklearn_tree = pytest.importorskip("sklearn.tree")
    X = loans_pd[FEATURES]
    model = sklearn_tree.DecisionTreeClassifier(max_depth=3, random_state=0).fit(X, loans_pd["defaulted"])
    frame = ns.from_pandas(loans_pd[["loan_id"] + FEATURES + ["defaulted"]])
    scored, name = ns.predictions_from_sklearn(
        model, df=frame, target_label="defaulted", exclude_labels=["loan_id"]
    )
    assert name == "predictions"
    out = scored.toPandas().sort_values("loan_id")
    expected = model.predict(loans_pd.sort_values("loan_id")[FEATURES])
    assert out["predictions"].tolist() == expected.tolist()

    scored, _ = ns.predictions_from_sklearn(Threshold(), df=frame, feature_cols=["amount"])
    assert scored.toPandas()["predictions"].tolist() == (loans_pd["amount"] > 10000).astype(float).tolist()

    with pytest.raises(ValueError, match="has no predict method"):
        ns.predictions_from_sklearn(object(), df=frame)


def test_a_program_that_predicted_with_a_model_object_exits(tmp_path):
    # The session outlives the interpreter (it is held until the process ends) and with its cached plans the
    # model: releasing it after the interpreter's end must not wait for the interpreter's lock.
    pytest.importorskip("sklearn.tree")
    script = r"""
import norq_spark as ns
import pandas as pd
from sklearn.tree import DecisionTreeClassifier
df = pd.DataFrame({"x": [1.0, 2.0, 3.0, 4.0], "y": [0, 0, 1, 1]})
model = DecisionTreeClassifier(random_state=0).fit(df[["x"]], df["y"])
scored, _ = ns.predictions_from_sklearn(model, df=ns.from_pandas(df), target_label="y")
print(scored.toPandas()["predictions"].tolist())
"""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    with open(tmp_path / "out.txt", "w") as out:
        done = subprocess.run([sys.executable, "-c", script], env=env, stdout=out, stderr=subprocess.STDOUT,
                              timeout=120)
    assert done.returncode == 0, (tmp_path / "out.txt").read_text()[-2000:]
    assert (tmp_path / "out.txt").read_text().strip().endswith("[0, 0, 1, 1]")


def test_scan_dict_equals_the_commands_json(ns, norq_cli, history, tmp_path):
    args = dict(label="defaulted", prediction="predicted", id=["loan_id", "applicant_id"], date=["application_date"],
                protected="gender", privileged=["M"], unprivileged=["F"], history=history)
    html = tmp_path / "report.html"
    report = ns.scan(LOANS, html=str(html), **args)
    assert html.read_text().startswith("<!DOCTYPE html>")
    out = tmp_path / "cli.json"
    subprocess.run(
        [norq_cli, "scan", LOANS, "--label", "defaulted", "--prediction", "predicted", "--id", "loan_id,applicant_id",
         "--date", "application_date", "--protected", "gender", "--privileged", "M", "--unprivileged", "F",
         "--history", history, "--json", str(out), "--quiet"],
        check=True,
    )
    cli = json.loads(out.read_text())
    # Everything but the dataset's random identifier, the history (the second scan sees the first) and the time
    # each report was generated is the same.
    for r in (report, cli):
        r.pop("history")
        r.pop("generated")
        r["dataset"].pop("id")
    assert report.keys() == cli.keys()
    for key in report:
        assert report[key] == cli[key], key
    with pytest.raises(ValueError):
        ns.scan(str(tmp_path / "missing.csv"), history=history)


def test_scan_reads_other_csv_dialects(ns, history, tmp_path):
    data = tmp_path / "semi.csv"
    data.write_text("id;amount;day\n1;NA;03/01/2022\n2;12.5;04/01/2022\n3;7;05/02/2022\n")
    report = ns.scan(str(data), command="profile", label="id", date=["day"], delimiter=";", null_value="NA",
                     date_format="dd/MM/yyyy", history=history)
    profile = {p["feature"]: p for p in report["profile"]}
    assert profile["amount"]["null_values"] == 1
    assert profile["day"]["type"] == "Date"
    with pytest.raises(Exception, match="--encoding latin1"):
        ns.scan(str(data), command="profile", delimiter=";", encoding="latin1", history=history)


@pytest.mark.skipif(os.environ.get("NORQ_SANITIZED") == "1",
                    reason="AddressSanitizer keeps freed memory in quarantine: resident size says nothing here")
def test_no_leak_over_1000_builds(ns):
    import resource

    table = pa.table({"x": np.arange(1000, dtype=np.float64), "y": np.arange(1000) % 2})

    def build(n):
        for _ in range(n):
            ds = ns.SimpleSparkDatasetBuilder.dataset(features=table, label="y", register_creation=False)
            ds.number_of_samples()

    build(100)  # warm up allocator pools and caches
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    build(1000)
    after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    assert after - before < 64 * 1024, f"peak RSS grew by {(after - before) // 1024} MB over 1000 builds"
