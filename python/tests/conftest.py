import os
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.environ.get("NORQ_BUILD_DIR", os.path.join(ROOT, "build"))
# The module built in the tree, unless an installed one is asked for (NORQ_TEST_INSTALLED=1).
if not os.environ.get("NORQ_TEST_INSTALLED"):
    sys.path.insert(0, os.path.join(BUILD, "python"))

LOANS = os.path.join(ROOT, "data", "sample", "loans.csv")


@pytest.fixture(scope="session")
def ns():
    import norq_spark

    return norq_spark


@pytest.fixture(scope="session")
def history(tmp_path_factory):
    # Every scan and dataset creation of the tests goes to a throwaway event history.
    path = str(tmp_path_factory.mktemp("history") / "history.sqlite")
    os.environ["NORQ_EVENT_DB"] = path
    return path


@pytest.fixture(scope="session")
def loans_pd(history):
    import pandas as pd

    return pd.read_csv(LOANS)


@pytest.fixture(scope="session")
def norq_cli():
    path = os.path.join(BUILD, "norq-spark")
    if not os.path.exists(path):
        pytest.skip("the norq-spark command is not built")
    return path
