"""Prints Spark's answers for scalar-expression semantics the local engine must match.

Run: python3 scripts/expr_semantics_check.py  (local mode, ANSI off, UTC). Each line: query => result.
"""
from pyspark.sql import SparkSession
from pyspark.sql import functions as F

spark = (SparkSession.builder.master("local[1]").config("spark.sql.ansi.enabled", "false")
         .config("spark.sql.session.timeZone", "UTC").config("spark.ui.enabled", "false").getOrCreate())
spark.sparkContext.setLogLevel("ERROR")

queries = [
    "1/0", "1.0/0", "1.5 % 0", "5 div 0", "cast(1.5 as double) / 0", "-7 % 3", "7 % -3", "-7.5 % 2",
    "cast(127 as tinyint) + cast(1 as tinyint)", "typeof(cast(1 as tinyint) + cast(1 as tinyint))",
    "2147483647 + 1", "typeof(1 + 1L)", "typeof(1 / 2)", "typeof(5 div 2)", "typeof(5.5 div 2)", "5.5 div 2",
    "typeof(null + null)", "typeof(null + 1)", "typeof('1' + 1)", "'1' + 1", "'a' + 1", "typeof(1.5bd + 1)",
    "typeof(cast(1 as decimal(10,2)) + 1)", "typeof(cast(1 as decimal(10,2)) + cast(1 as int))",
    "typeof(cast(1 as decimal(10,2)) * cast(2 as decimal(10,2)))",
    "typeof(cast(1 as decimal(10,2)) / cast(3 as decimal(10,2)))", "cast(1 as decimal(10,2)) / cast(3 as decimal(10,2))",
    "typeof(cast(1 as decimal(38,10)) / cast(3 as decimal(38,10)))", "cast(1 as decimal(38,10)) / cast(3 as decimal(38,10))",
    "typeof(cast(1 as decimal(10,2)) % cast(3 as decimal(5,3)))", "typeof(cast(1 as decimal(10,2)) + 1.5d)",
    "cast(99999999999999999999999999999999999999 as decimal(38,0)) + 1",
    "typeof(cast(1 as decimal(38,18)) * cast(1 as decimal(38,18)))",
    "cast(12345678901234567890.123456789 as decimal(38,18)) * cast(98765432109876543210.123 as decimal(38,18))",
    "typeof(-cast(1 as tinyint))", "-cast(-128 as tinyint)", "abs(cast(-128 as tinyint))", "abs(-2147483648)",
    "typeof(abs('-1'))", "typeof(-'1')",
    "cast('nan' as double) = cast('NaN' as double)", "cast('nan' as double) > 1e308", "-0.0 = 0.0",
    "null = null", "null <=> null", "1 <=> null", "'10' > 9", "'abc' = 1", "'1.0' = 1", "typeof(cast('2024-01-01' as date))",
    "cast('2024-01-01' as date) = '2024-01-01'", "cast('2024-01-01' as date) < cast('2024-01-01 10:00:00' as timestamp)",
    "true = 'true'", "true = 1", "true = 2", "cast(1 as bigint) = 1.5f", "'1.5' = 1.5bd",
    "1 in (1, null)", "2 in (1, null)", "null in (1)", "2 in (1, 3)", "'1' in (1, 2)", "cast('NaN' as double) in (cast('NaN' as double))",
    "'abc' like 'a%'", "'a_c' like 'a\\\\_c'", "'abc' like 'a\\\\_c'", "'ab' like '_'",
    "cast(cast('NaN' as double) as int)", "cast(1e10 as int)", "cast(-1e10 as int)", "cast(1e10 as tinyint)", "cast(300.7 as tinyint)",
    "cast(-1.9 as int)", "cast(1e30 as bigint)", "cast(cast(1e30 as decimal(38,0)) as bigint)", "cast(cast(3000000000 as bigint) as int)",
    "cast(' 12 ' as int)", "cast('1.9' as int)", "cast('1e3' as int)", "cast('.' as int)", "cast('1.' as int)", "cast('+5' as int)",
    "cast('' as int)", "cast('300' as tinyint)", "cast('9223372036854775808' as bigint)", "cast('-' as int)",
    "cast(' 1.5 ' as double)", "cast('1.5d' as double)", "cast('inf' as double)", "cast('-Infinity' as double)",
    "cast('1e400' as double)", "cast('0x10' as double)", "cast('abc' as double)", "cast('1.5f' as float)",
    "cast(' 1.255 ' as decimal(10,2))", "cast('1e3' as decimal(10,2))", "cast('abc' as decimal(10,2))",
    "cast('123456789' as decimal(5,2))", "cast(0.1 as decimal(20,18))", "cast(cast(0.1 as float) as decimal(20,18))",
    "cast(cast(0.1 as float) as double)", "cast(1.005 as decimal(10,2))", "cast(cast('NaN' as double) as decimal(10,2))",
    "cast(-1.005bd as decimal(10,2))", "cast(123.456bd as int)", "cast(1e20 as string)", "cast(1.0E-5 as string)",
    "cast(100.0 as string)", "cast(cast(1 as float)/3 as string)", "cast(1.50bd as string)", "cast(cast(0 as decimal(10,3)) as string)",
    "cast(true as int)", "cast(2 as boolean)", "cast(cast('NaN' as double) as boolean)", "cast(' yes ' as boolean)",
    "cast('T' as boolean)", "cast('2' as boolean)", "cast(true as string)",
    "cast('2024' as date)", "cast('2024-3' as date)", "cast('2024-03-5 junk' as date)", "cast('2024-03-05T10' as date)",
    "cast('2024-02-30' as date)", "cast(' 2024-03-05 ' as date)", "cast('24-03-05' as date)", "cast('+2024-03-05' as date)",
    "cast('2024-03-05 10:11:12.1234567' as timestamp)", "cast('2024-03-05T10:11:12Z' as timestamp)",
    "cast('2024-03-05 10:11:12+01:00' as timestamp)", "cast('2024-03-05 10:11:12 UTC+1' as timestamp)",
    "cast('2024-03-05 10:11' as timestamp)", "cast('2024-03-05 10' as timestamp)", "cast('2024' as timestamp)",
    "cast('2024-03-05 10:11:12 America/New_York' as timestamp)", "cast('10:11:12' as timestamp) is not null",
    "cast(cast('2024-03-05 10:11:12' as timestamp) as date)", "cast(cast('2024-03-05' as date) as timestamp)",
    "cast(1.5 as timestamp)", "cast(1 as timestamp)", "cast(cast('2024-03-05 10:11:12.5' as timestamp) as double)",
    "cast(cast('2024-03-05 10:11:12.5' as timestamp) as bigint)", "cast(cast('1969-12-31 23:59:59.5' as timestamp) as bigint)",
    "cast(cast('2024-03-05' as date) as int)", "cast(true as timestamp)",
    "cast(array(1,2,null) as string)", "cast(array(1,2) as array<string>)", "cast(cast('2024-03-05 10:11:12.100' as timestamp) as string)",
    "coalesce(null, 1, 2L)", "typeof(coalesce(1, 2L))", "typeof(coalesce(1, 'a'))", "nullif(1, 1)", "nullif(1, 2)",
    "if(null, 1, 2)", "typeof(if(true, 1, 1.5))", "greatest(1, null, 3)", "least(null, null)", "typeof(greatest(1, 2L, 1.5))",
    "greatest(1.0d, cast('NaN' as double))", "typeof(greatest(1, '2'))", "concat('a', null)", "concat('a', 1, true)", "concat()",
    "upper('straße')", "lower('ÀB')", "length('héllo')", "length(123)", "trim('  a b  ')", "trim('\\ta\\t')",
    "substring('hello', 0, 2)", "substring('hello', -3, 2)", "substring('hello', 2)", "substring('hello', -10, 3)",
    "substring('hello', 3, -1)", "substring('héllo', 2, 2)",
    "typeof(case when true then 1 else 'a' end)", "typeof(case when true then 1 when false then 2L end)",
    "isnan(null)", "isnan('NaN')", "typeof(1 in (1L, 2))", "typeof(array(1) )", "(1 = 1) and null", "(1 = 2) and null",
    "(1 = 1) or null", "not null", "typeof(cast(1 as float) + 1L)", "typeof(1L = cast(1 as float))",
    "cast(1.0e-7 as float)", "cast(cast(1e-7 as float) as string)", "cast(cast(123456789 as float) as string)",
    "cast(9.999999999999999e22 as string)", "cast(1e7 as string)", "cast(1e-3 as string)", "cast(1234567.0 as string)",
    "cast(cast(-0.0 as double) as string)", "0.1 + 0.2", "typeof(0.1)", "typeof(1e2)",
    "cast(array('a', null) as string)", "cast(true as decimal(1,1))", "trim(' a ', ' ')", "btrim('xyaxy', 'yx')",
    "cast('+.5' as double)", "cast('-nan' as double)", "cast('2024-03-05 10:11:12.5+0130' as timestamp)",
    "cast('2024-03-05 10:11:12 GMT-8' as timestamp)", "cast('2024-03-05T' as timestamp)", "-7 div 2",
    "greatest('a', 'b')", "1 in (1, 'a')", "9223372036854775807L * 2",
]
for q in queries:
    try:
        r = spark.sql("select " + q + " as r").collect()[0][0]
        print(f"{q} => {r!r}")
    except Exception as e:  # noqa: BLE001
        print(f"{q} => ERROR {str(e).splitlines()[0][:300]}")

df = spark.createDataFrame([(1, 2.5, "x", True)], "a int, d double, s string, b boolean")
cols = [F.col("a") + 1, F.col("a") == 1, F.col("a") != 1, (F.col("a") > 1) & (F.col("b")), ~F.col("b"),
        F.avg("a"), F.count(F.lit(1)), F.countDistinct("a"), F.col("a").cast("int"), F.col("a").cast("decimal(10,2)"),
        F.col("a").isNull(), F.col("a").isin(1, 2), F.when(F.col("a") > 1, 1).otherwise(0), -F.col("a"), F.abs("a"),
        F.stddev("a"), F.mean("a"), F.lit(1.5), F.lit(1e20), F.lit("x"), F.lit(None), F.col("a").eqNullSafe(1),
        F.coalesce("a", F.lit(0)), F.isnan("d"), F.col("s").like("x%"), F.col("a") % 2, F.col("a") / 2, F.col("a").isNotNull(),
        F.col("a").between(1, 2), F.when(F.col("a") > 1, 1), F.lit(True), F.sum("a"), F.min("a"), F.first("a"),
        F.first("a", True), F.col("a").cast("string"), F.col("a").cast("array<int>") if False else F.lit(2),
        F.cume_dist().over(__import__("pyspark.sql.window", fromlist=["Window"]).Window.orderBy("a")),
        F.sum("a").over(__import__("pyspark.sql.window", fromlist=["Window"]).Window.partitionBy("s").orderBy(F.col("a").desc())
                        .rowsBetween(-1, 0)),
        F.last("a", True).over(__import__("pyspark.sql.window", fromlist=["Window"]).Window.orderBy("a")
                               .rowsBetween(-2**63, 0)),
        F.row_number().over(__import__("pyspark.sql.window", fromlist=["Window"]).Window.partitionBy("s").orderBy("a")),
        F.percentile_approx("a", 0.5), F.percentile_approx("a", [0.25, 0.5], 100), F.lit(-1), F.lit(0.1),
        F.substring("s", 1, 2), F.upper("s"), F.length("s"), F.trim("s"), F.concat("s", F.lit("y")), F.greatest("a", F.lit(2)),
        F.expr("a div 2"), F.expr("nvl(a, 1)"), F.expr("if(a > 1, 1, 2)"), F.expr("nullif(a, 1)"), F.expr("-a"),
        F.expr("a <=> 1"), F.expr("NOT a = 1"), F.expr("a IN (1,2)"), F.expr("CAST(a AS STRING)"),
        F.lit(1.0), F.lit(100.0), F.lit(1e-5), F.col("a") * 1.5, F.xxhash64("a", "s"), F.width_bucket("d", F.lit(0), F.lit(10), F.lit(5)),
        F.expr("cast('2024-01-01' as date)"), F.lit(2**40), F.expr("count(*)"), F.expr("count(distinct a, s)"),
        F.expr("sum(a) filter (where a > 1)") if False else F.lit("q"),
        F.expr("a like 'x\\\\_%'"), F.expr("isnull(a)"), F.expr("a is null"), F.expr("ifnull(a, 2)"), F.expr("least(a, 2)"),
        F.expr("trim(s)"), F.expr("substr(s, 2)"), F.expr("lower(s)"), F.expr("case when a = 1 then 'x' end"),
        F.expr("case a when 1 then 'x' else 'y' end"),
        ]
print("NAMES")
for c in cols:
    try:
        print(df.select(c).columns[0])
    except Exception as e:  # noqa: BLE001
        print("ERROR", str(e).splitlines()[0][:200])

print("ERRORS")
for q in ["a + b", "a and 1", "foo(a)", "abs(a, a)", "a < b", "d + date'2024-01-01'", "not a", "substring(s)",
          "cast(a as date)", "cast(b as date)", "cast(array(1) as int)", "if(a, 1, 2)", "a + s", "b + 1", "upper(a)",
          "coalesce(a, array(1))", "case when a then 1 end", "a in (array(1))", "greatest(a)", "cast(cast('2024-01-01' as date) as int)",
          "isnan(s)", "length(b)", "concat(a, b)", "a like 1"]:
    try:
        df.selectExpr(q).collect()
        print(q, "=> OK", df.selectExpr(q).schema.simpleString(), df.selectExpr(q).collect()[0][0])
    except Exception as e:  # noqa: BLE001
        print(q, "=> ERROR", str(e).splitlines()[0][:400])
print("UNION")
for a, b in [("1 as x", "'a' as x"), ("true as x", "'a' as x"), ("cast('2024-01-01' as date) as x", "'a' as x"),
             ("true as x", "1 as x"), ("1 as x", "1.5bd as x"), ("1L as x", "cast(1 as decimal(10,2)) as x")]:
    try:
        print(a, b, spark.sql(f"select {a} union all select {b}").schema.simpleString())
    except Exception as e:  # noqa: BLE001
        print(a, b, "ERROR", str(e).splitlines()[0][:200])
spark.conf.set("spark.sql.session.timeZone", "America/New_York")
for q in ["cast(cast('2024-03-10 02:30:00' as timestamp) as string)", "cast(cast('2024-03-05' as date) as timestamp)"]:
    print(f"NY {q} => {spark.sql('select ' + q).collect()[0][0]!r}")
spark.conf.set("spark.sql.session.timeZone", "UTC")
from pyspark.sql.window import Window
for c in [F.sum("a").over(Window.partitionBy("s")), F.lag("a").over(Window.orderBy("a")),
          F.rank().over(Window.orderBy("a")), F.col("a").cast("float"), F.max(F.col("a").cast("int"))]:
    print(df.select(c).columns[0])
spark.stop()
