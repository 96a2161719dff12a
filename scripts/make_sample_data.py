#!/usr/bin/env python3
"""Writes the sample lending data in data/sample/ (deterministic: fixed seed, standard library only).

loans.csv    one row per loan application: applicant details, the loan's terms, whether it defaulted
             (label) and what a credit model predicted (prediction). Some incomes are missing (empty) or
             NaN, some employment lengths and genders are missing, as in real application data.
regions.csv  the region dimension table (one region has no loans, for outer-join examples).

With --drift D (0 to 1) the applicants of the sample differ from the base population as a later sample
would: lower incomes, older applicants, more business loans and higher rates, scaled by D. The main job
scans a drifted sample against an undrifted reference.

Usage: python3 scripts/make_sample_data.py [--rows N] [--out DIR] [--file NAME] [--drift D] [--seed S]
                                           [--no-regions]
"""
import argparse
import csv
import datetime
import math
import os
import random

SEED = 20241208

REGIONS = [
    # code, name, population (thousands), branches, share of loans
    ("NOR", "North", 5480, 42, 0.18),
    ("SOU", "South", 9120, 61, 0.27),
    ("EAS", "East", 6350, 38, 0.21),
    ("WES", "West", 5710, 35, 0.19),
    ("CEN", "Central", 4230, 29, 0.15),
    ("ISL", "Islands", 410, 4, 0.0),
]

PURPOSES = [
    # purpose, share, typical amount, risk adjustment
    ("debt_consolidation", 0.34, 14000, 0.35),
    ("home_improvement", 0.18, 18000, -0.25),
    ("car", 0.22, 12000, -0.10),
    ("education", 0.08, 9000, 0.10),
    ("business", 0.08, 26000, 0.45),
    ("medical", 0.10, 6000, 0.20),
]


def pick(rng, items, weight_index):
    return rng.choices(items, weights=[it[weight_index] for it in items], k=1)[0]


def sigmoid(z):
    return 1.0 / (1.0 + math.exp(-z))


def make_loans(rng, rows, drift=0.0):
    start = datetime.date(2022, 1, 1)
    span_days = (datetime.date(2024, 12, 31) - start).days
    applicants = max(1, int(rows * 0.85))
    for i in range(rows):
        region = pick(rng, REGIONS, 4)
        purposes = [(p, w * (1 + 2.0 * drift if p == "business" else 1), a, r) for p, w, a, r in PURPOSES]
        purpose, _, typical, purpose_risk = pick(rng, purposes, 1)
        age = min(75, max(19, int(rng.gauss(41 + 4 * drift, 12))))
        employment = min(age - 18, max(0, int(rng.expovariate(1 / 7.0))))
        income = round(math.exp(rng.gauss(math.log(46000 * (1 - 0.18 * drift)), 0.45)) / 100) * 100
        amount = round(min(50000, max(1000, typical * math.exp(rng.gauss(0, 0.5)))) / 50) * 50
        term = rng.choice([12, 24, 36, 36, 48, 60, 60])
        dti = amount / income
        risk = -2.6 + 2.2 * dti + purpose_risk - 0.03 * employment - 0.012 * (age - 40) + 0.004 * term
        rate = round(4.5 + 3.0 * sigmoid(risk) * 4 + 0.8 * drift + rng.gauss(0, 0.8), 2)
        rate = max(2.9, min(24.9, rate))
        defaulted = 1 if rng.random() < sigmoid(risk + 0.08 * (rate - 9)) else 0
        # The model sees a noisy version of the same risk; it misses some defaults and flags some good loans.
        noise = rng.gauss(0, 0.9)
        gender = "F" if rng.random() < 0.48 else "M"
        # A drifted sample also comes from a model that flags women's loans a little more often.
        bias = 0.35 * drift if gender == "F" else 0.0
        predicted = 1 if sigmoid(risk + 0.08 * (rate - 9) + bias + noise) > 0.42 else 0

        income_text = str(income)
        r = rng.random()
        if r < 0.03:
            income_text = ""       # not provided
        elif r < 0.04:
            income_text = "NaN"    # failed conversion upstream
        employment_text = "" if rng.random() < 0.05 else str(employment)
        gender_text = "" if rng.random() < 0.02 else gender

        yield {
            "loan_id": 100001 + i,
            "applicant_id": "A%05d" % rng.randint(1, applicants),
            "application_date": (start + datetime.timedelta(days=rng.randint(0, span_days))).isoformat(),
            "amount": amount,
            "term_months": term,
            "interest_rate": "%.2f" % rate,
            "income": income_text,
            "employment_years": employment_text,
            "region": region[0],
            "purpose": purpose,
            "gender": gender_text,
            "age": age,
            "defaulted": defaulted,
            "predicted": predicted,
        }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=2000)
    parser.add_argument("--file", default="loans.csv", help="name of the loans file in --out")
    parser.add_argument("--drift", type=float, default=0.0, help="0 (base population) to 1 (strong drift)")
    parser.add_argument("--seed", type=int, default=SEED)
    parser.add_argument("--no-regions", action="store_true", help="do not write regions.csv")
    parser.add_argument("--out", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data",
                                                      "sample"))
    args = parser.parse_args()
    rng = random.Random(args.seed)
    os.makedirs(args.out, exist_ok=True)

    # Rows are written as they are made, so that large samples need no memory of their own.
    loans = make_loans(rng, args.rows, args.drift)
    first = next(loans)
    with open(os.path.join(args.out, args.file), "w", newline="") as f:
        writer = csv.DictWriter(f, fieldnames=list(first.keys()), lineterminator="\n")
        writer.writeheader()
        writer.writerow(first)
        writer.writerows(loans)

    if args.no_regions:
        return
    with open(os.path.join(args.out, "regions.csv"), "w", newline="") as f:
        writer = csv.writer(f, lineterminator="\n")
        writer.writerow(["region", "region_name", "population_thousands", "branches"])
        for code, name, population, branches, _ in REGIONS:
            writer.writerow([code, name, population, branches])


if __name__ == "__main__":
    main()
