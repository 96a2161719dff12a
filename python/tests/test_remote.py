"""Frames and datasets on a Spark Connect server from Python: CSV read by the server, pandas frames sent to it,
the same dataset figures as on the embedded engine. Runs when NORQ_TEST_SPARK_REMOTE (or
NORQ_TEST_SPARK_REMOTE_FILE, set by ctest's server fixture) names a server; skipped otherwise."""
import os

import pandas as pd
import pytest

from conftest import LOANS


def remote_address():
    address = os.environ.get("NORQ_TEST_SPARK_REMOTE")
    if address:
        return address
    path = os.environ.get("NORQ_TEST_SPARK_REMOTE_FILE")
    if path and os.path.exists(path):
        with open(path) as f:
            return f.read().strip() or None
    return None


pytestmark = pytest.mark.skipif(remote_address() is None, reason="no Spark Connect server (NORQ_TEST_SPARK_REMOTE)")


@pytest.fixture(scope="module")
def remote(ns, history):
    spark = ns.session(remote=remote_address())
    assert spark.isRemote
    yield spark
    spark.stop()


def build(ns, frame):
    return ns.SimpleSparkDatasetBuilder.dataset(
        features=frame, label="defaulted", prediction="predicted", id_col=["loan_id", "applicant_id"],
        date_col=["application_date"], convert_date_cols=True, name="loans", random_seed=7,
    )


def test_csv_read_by_the_server_builds_the_same_dataset(ns, remote, loans_pd):
    frame = remote.read.csv(LOANS)
    assert frame.count() == len(loans_pd)
    ds = build(ns, frame)
    assert ds.number_of_samples() == len(loans_pd)
    assert ds.mean("amount") == pytest.approx(loans_pd["amount"].mean(), rel=1e-12)
    assert ds.feature_max("amount") == loans_pd["amount"].max()
    assert ds.filter_count("amount > 10000") == int((loans_pd["amount"] > 10000).sum())
    profile = ds.generate_data_profile()
    by_feature = {f["feature"]: f for f in profile["features"]}
    assert by_feature["amount"]["missing_values"] == int(loans_pd["amount"].isna().sum())
    assert by_feature["amount"]["maximum"] == loans_pd["amount"].max()
    assert sorted(ds.get_feature_categories("region")) == sorted(loans_pd["region"].dropna().unique())
    stat, pvalue = ns.ks_2samp(frame.select("amount"), frame.filter("gender = 'F'").select("amount"))
    assert 0.0 <= stat <= 1.0 and 0.0 <= pvalue <= 1.0


def test_pandas_frames_are_sent_to_the_server(ns, remote):
    pdf = pd.DataFrame({"x": [1.5, float("nan"), 3.0], "s": ["a", None, "c"], "n": [1, 2, 3]})
    frame = remote.createDataFrame(pdf)
    assert dict(frame.dtypes) == {"x": "double", "s": "string", "n": "bigint"}
    assert frame.filter("x IS NULL").count() == 1
    back = frame.toPandas()
    assert back["s"].tolist() == ["a", None, "c"] and back["n"].tolist() == [1, 2, 3]
    # Accuracy on the server equals the embedded engine's on the same rows.
    rows = pd.DataFrame({"pred": [1, 0, 1, 1, 0], "label": [1, 0, 0, 1, 1]})
    on_server = ns.accuracy(remote.createDataFrame(rows), pred="pred", label="label")
    assert on_server == 0.6


def test_unreachable_server_is_an_error(ns):
    with pytest.raises(Exception, match="127.0.0.1:1"):
        ns.session(remote="sc://127.0.0.1:1")
