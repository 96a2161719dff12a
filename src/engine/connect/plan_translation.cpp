// Logical plans -> Spark Connect relations, shaped as pyspark's Connect client shapes them for the same
// DataFrame calls.
#include "engine/connect/plan_translation.h"

#include <algorithm>
#include <cctype>
#include <limits>
#include <utility>
#include <string>
#include <vector>
#include <mutex>
#include <map>

#include <fmt/format.h>

#include "engine/connect/arrow_ipc.h"
#include "engine/connect/type_translation.h"
#include "engine/backend.h"
#include "engine/connect/client.h"
#include "engine/connect/connect_backend.h"
#include "engine/errors.h"
#include "engine/session.h"

namespace engine::connect {

namespace pb = spark::connect;

namespace {

template <class T>
const T& as(const Plan& p) {
  return static_cast<const T&>(p);
}

void collectPlanIds(const Plan& p, std::set<std::int64_t>& ids) {
  ids.insert(p.id);
  for (const auto& in : p.inputs) collectPlanIds(*in, ids);
}

pb::Relation translate(const PlanPtr& plan, TranslationContext& ctx);

pb::Relation input(const Plan& p, std::size_t i, TranslationContext& ctx) {
  if (i >= p.inputs.size()) {
    throw AnalysisException(fmt::format("[INTERNAL_ERROR] Plan node #{} lacks its input {}.", p.id, i));
  }
  return translate(p.inputs[i], ctx);
}

std::string charOption(char c) { return c == '\0' ? std::string() : std::string(1, c); }

// Reader options under Spark's names, as DataFrameReader.option(...) sends them.
void csvOptions(const CsvOptions& o, bool hasSchema, google::protobuf::Map<std::string, std::string>& out) {
  out["header"] = o.header ? "true" : "false";
  if (!hasSchema) out["inferSchema"] = o.inferSchema ? "true" : "false";
  out["sep"] = charOption(o.sep);
  out["quote"] = charOption(o.quote);
  out["escape"] = charOption(o.escape);
  if (!o.nullValue.empty()) out["nullValue"] = o.nullValue;
  out["mode"] = o.mode;
  if (!o.timestampFormat.empty()) out["timestampFormat"] = o.timestampFormat;
  if (!o.dateFormat.empty()) out["dateFormat"] = o.dateFormat;
  out["multiLine"] = o.multiLine ? "true" : "false";
  out["encoding"] = o.encoding;
}

pb::Join::JoinType joinType(JoinType t) {
  switch (t) {
    case JoinType::Inner: return pb::Join::JOIN_TYPE_INNER;
    case JoinType::LeftOuter: return pb::Join::JOIN_TYPE_LEFT_OUTER;
    case JoinType::RightOuter: return pb::Join::JOIN_TYPE_RIGHT_OUTER;
    case JoinType::FullOuter: return pb::Join::JOIN_TYPE_FULL_OUTER;
    case JoinType::LeftSemi: return pb::Join::JOIN_TYPE_LEFT_SEMI;
    case JoinType::LeftAnti: return pb::Join::JOIN_TYPE_LEFT_ANTI;
    case JoinType::Cross: return pb::Join::JOIN_TYPE_CROSS;
  }
  return pb::Join::JOIN_TYPE_INNER;
}

pb::SetOperation::SetOpType setOpType(SetOpType t) {
  switch (t) {
    case SetOpType::Union: return pb::SetOperation::SET_OP_TYPE_UNION;
    case SetOpType::Except: return pb::SetOperation::SET_OP_TYPE_EXCEPT;
    case SetOpType::Intersect: return pb::SetOperation::SET_OP_TYPE_INTERSECT;
  }
  return pb::SetOperation::SET_OP_TYPE_UNION;
}

// Structural equality of unresolved expressions (for matching grouping expressions in an aggregate's output).
bool sameExpr(const Expr& a, const Expr& b) {
  if (&a == &b) return true;
  if (a.kind != b.kind || a.name != b.name || a.nameParts != b.nameParts || a.planId != b.planId ||
      a.isDistinct != b.isDistinct || a.children.size() != b.children.size()) {
    return false;
  }
  if (a.kind == ExprKind::Literal && !(a.literal == b.literal && a.literalType == b.literalType)) return false;
  if (a.kind == ExprKind::Cast && a.castType != b.castType) return false;
  if (a.kind == ExprKind::SortOrder && (a.ascending != b.ascending || a.nullsFirst != b.nullsFirst)) return false;
  if (a.kind == ExprKind::Window || a.kind == ExprKind::Udf) return false;
  for (std::size_t i = 0; i < a.children.size(); ++i) {
    if (!sameExpr(*a.children[i], *b.children[i])) return false;
  }
  return true;
}

// The output name Spark gives an aggregate's output expression (an alias names itself; otherwise the
// expression's text, which the engine writes as Spark does).
std::string outputName(const Expr& e) {
  if (e.kind == ExprKind::Alias) return e.name;
  if (e.kind == ExprKind::Attribute && !e.nameParts.empty()) return e.nameParts.back();
  return e.toString();
}

// Spark reads Parquet timestamps stored without UTC adjustment as timestamp_ntz, a type the engine does not have.
// The embedded reader gives them as timestamps of their wall-clock time in the session time zone, which is
// Spark's cast of timestamp_ntz to timestamp: the read is wrapped in that cast, so both backends agree. The
// server's schema of the read is asked once per scan.
void localTimestampsAsTimestamps(SparkSession& session, std::int64_t planId, pb::Relation& rel) {
  static std::mutex mutex;
  static std::map<std::int64_t, std::vector<std::pair<std::string, bool>>> known;  // name, is timestamp_ntz
  std::vector<std::pair<std::string, bool>> fields;
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (auto it = known.find(planId); it != known.end()) fields = it->second;
  }
  if (fields.empty()) {
    Client* client = clientOf(session.backend());
    if (client == nullptr) return;
    const pb::DataType schema = client->schema(rel);
    for (const auto& f : schema.struct_().fields()) fields.emplace_back(f.name(), f.data_type().has_timestamp_ntz());
    std::lock_guard<std::mutex> lock(mutex);
    if (known.size() > 1024) known.clear();
    known[planId] = fields;
  }
  if (std::none_of(fields.begin(), fields.end(), [](const auto& f) { return f.second; })) return;
  pb::Relation projected;
  auto* pr = projected.mutable_project();
  *pr->mutable_input() = std::move(rel);
  for (const auto& [name, local] : fields) {
    std::string quoted = "`";
    for (char ch : name) quoted += ch == '`' ? std::string("``") : std::string(1, ch);
    quoted += "`";
    pb::Expression* x = pr->add_expressions();
    if (!local) {
      x->mutable_unresolved_attribute()->set_unparsed_identifier(quoted);
      continue;
    }
    auto* alias = x->mutable_alias();
    alias->add_name(name);
    auto* cast = alias->mutable_expr()->mutable_cast();
    cast->mutable_expr()->mutable_unresolved_attribute()->set_unparsed_identifier(quoted);
    cast->mutable_type()->mutable_timestamp();
  }
  rel = std::move(projected);
}

// Selected columns keep the names the embedded engine gives them (Spark's own names for SQL text and for
// pyspark's classic DataFrames): a server names a few expressions after the Connect function they arrive as
// ("negative(i)" for -i, where SQL text gives "(- i)"; a BETWEEN arrives as its two comparisons).
pb::Expression toOutputExpression(const ExprPtr& e, TranslationContext& ctx) {
  pb::Expression x = toExpression(e, ctx);
  if (e->kind == ExprKind::Alias || e->kind == ExprKind::Attribute || e->kind == ExprKind::Star) return x;
  pb::Expression named;
  auto* alias = named.mutable_alias();
  *alias->mutable_expr() = std::move(x);
  alias->add_name(e->outputName());
  return named;
}

// Spark Connect's GROUP BY puts the grouping columns first in the output, as DataFrame.groupBy(...).agg(...)
// does. The engine's aggregate lists its output in full: when it starts with the grouping expressions (the
// DataFrame form) they are left out of the aggregate expressions; otherwise (SQL text with another select
// order) the output is renamed positionally and projected into the engine's order and names.
pb::Relation aggregate(const AggregatePlan& p, TranslationContext& ctx) {
  pb::Relation rel;
  auto* a = rel.mutable_aggregate();
  *a->mutable_input() = input(p, 0, ctx);
  a->set_group_type(pb::Aggregate::GROUP_TYPE_GROUPBY);
  for (const auto& g : p.groupings) *a->add_grouping_expressions() = toExpression(g, ctx);

  bool prefixed = p.aggregates.size() >= p.groupings.size();
  for (std::size_t i = 0; prefixed && i < p.groupings.size(); ++i) {
    const Expr& out = *p.aggregates[i];
    // The grouping column is output by its own name (an attribute or the same expression unaliased).
    prefixed = sameExpr(out, *p.groupings[i]);
  }
  if (prefixed) {
    for (std::size_t i = p.groupings.size(); i < p.aggregates.size(); ++i) {
      *a->add_aggregate_expressions() = toOutputExpression(p.aggregates[i], ctx);
    }
    return rel;
  }
  for (const auto& e : p.aggregates) *a->add_aggregate_expressions() = toExpression(e, ctx);
  const std::size_t total = p.groupings.size() + p.aggregates.size();
  pb::Relation renamed;
  auto* toDf = renamed.mutable_to_df();
  *toDf->mutable_input() = std::move(rel);
  for (std::size_t i = 0; i < total; ++i) toDf->add_column_names(fmt::format("_norq_agg_{}", i));
  pb::Relation projected;
  auto* proj = projected.mutable_project();
  *proj->mutable_input() = std::move(renamed);
  for (std::size_t i = 0; i < p.aggregates.size(); ++i) {
    pb::Expression* x = proj->add_expressions();
    auto* alias = x->mutable_alias();
    alias->mutable_expr()->mutable_unresolved_attribute()->set_unparsed_identifier(
        fmt::format("_norq_agg_{}", p.groupings.size() + i));
    alias->add_name(outputName(*p.aggregates[i]));
  }
  return projected;
}

[[noreturn]] void cannotRun(const std::string& what) {
  throw AnalysisException(fmt::format("[UNSUPPORTED_FEATURE] {} cannot run on Spark Connect.", what));
}

pb::Relation translate(const PlanPtr& planPtr, TranslationContext& ctx) {
  const Plan& plan = *planPtr;
  pb::Relation rel;
  switch (plan.kind) {
    case PlanKind::LocalRelation: {
      const auto& p = as<LocalRelationPlan>(plan);
      if (!p.table) cannotRun("A local relation without data");
      auto* l = rel.mutable_local_relation();
      l->set_data(localTableToArrowIpc(*p.table));
      l->set_schema(schemaToJson(p.table->schema()));
      break;
    }
    case PlanKind::Range: {
      const auto& p = as<RangePlan>(plan);
      auto* r = rel.mutable_range();
      r->set_start(p.start);
      r->set_end(p.end);
      r->set_step(p.step);
      if (p.numPartitions > 0) r->set_num_partitions(p.numPartitions);
      break;
    }
    case PlanKind::CsvScan: {
      const auto& p = as<CsvScanPlan>(plan);
      auto* ds = rel.mutable_read()->mutable_data_source();
      ds->set_format("csv");
      const bool hasSchema = !p.schema.empty();
      if (hasSchema) ds->set_schema(schemaToJson(p.schema));
      csvOptions(p.options, hasSchema, *ds->mutable_options());
      for (const auto& f : p.files) ds->add_paths(f);
      break;
    }
    case PlanKind::ParquetScan: {
      const auto& p = as<ParquetScanPlan>(plan);
      auto* ds = rel.mutable_read()->mutable_data_source();
      ds->set_format("parquet");
      if (p.userSchema && !p.schema.empty()) ds->set_schema(schemaToJson(p.schema));
      for (const auto& f : p.files) ds->add_paths(f);
      localTimestampsAsTimestamps(ctx.session, plan.id, rel);
      break;
    }
    case PlanKind::Project: {
      const auto& p = as<ProjectPlan>(plan);
      auto* pr = rel.mutable_project();
      *pr->mutable_input() = input(plan, 0, ctx);
      for (const auto& e : p.exprs) *pr->add_expressions() = toOutputExpression(e, ctx);
      break;
    }
    case PlanKind::Filter: {
      const auto& p = as<FilterPlan>(plan);
      auto* f = rel.mutable_filter();
      *f->mutable_input() = input(plan, 0, ctx);
      *f->mutable_condition() = toExpression(p.condition, ctx);
      break;
    }
    case PlanKind::Aggregate:
      rel = aggregate(as<AggregatePlan>(plan), ctx);
      break;
    case PlanKind::Join: {
      const auto& p = as<JoinPlan>(plan);
      if (p.natural) {
        // Spark Connect's Join names its USING columns; which columns two sides share is only known once the
        // server has analysed them.
        throw AnalysisException(
            "[UNSUPPORTED_FEATURE] NATURAL JOIN cannot run on Spark Connect from this client: write the join "
            "with USING (the shared columns).");
      }
      auto* j = rel.mutable_join();
      *j->mutable_left() = input(plan, 0, ctx);
      *j->mutable_right() = input(plan, 1, ctx);
      j->set_join_type(joinType(p.joinType));
      if (p.condition) *j->mutable_join_condition() = toExpression(p.condition, ctx);
      for (const auto& c : p.usingColumns) j->add_using_columns(c);
      break;
    }
    case PlanKind::SetOperation: {
      const auto& p = as<SetOperationPlan>(plan);
      auto* s = rel.mutable_set_op();
      *s->mutable_left_input() = input(plan, 0, ctx);
      *s->mutable_right_input() = input(plan, 1, ctx);
      s->set_set_op_type(setOpType(p.opType));
      s->set_is_all(p.isAll);
      s->set_by_name(p.byName);
      break;
    }
    case PlanKind::Deduplicate: {
      const auto& p = as<DeduplicatePlan>(plan);
      auto* d = rel.mutable_deduplicate();
      *d->mutable_input() = input(plan, 0, ctx);
      if (p.allColumns) {
        d->set_all_columns_as_keys(true);
      } else {
        // A server refuses an unknown key column with an internal plan error; Spark's DataFrame API reports
        // it as an analysis error naming the columns there are, as the embedded engine does.
        const StructType schema = ctx.session.backend().analyze(plan.inputs.at(0));
        for (const auto& c : p.columns) {
          const bool known = std::any_of(schema.fields().begin(), schema.fields().end(), [&](const StructField& f) {
            return f.name.size() == c.size() && std::equal(f.name.begin(), f.name.end(), c.begin(), [](char x, char y) {
                     return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
                   });
          });
          if (!known) {
            std::string names;
            for (const auto& f : schema.fields()) names += (names.empty() ? "" : ", ") + f.name;
            throw AnalysisException(fmt::format("Cannot resolve column name \"{}\" among ({}).", c, names));
          }
          d->add_column_names(c);
        }
      }
      break;
    }
    case PlanKind::Limit: {
      const auto& p = as<LimitPlan>(plan);
      if (p.limit < 0 || p.limit > std::numeric_limits<std::int32_t>::max()) {
        throw AnalysisException(fmt::format(
            "[INVALID_LIMIT_LIKE_EXPRESSION.OUT_OF_RANGE] A limit of {} cannot run on Spark Connect: Spark's limit is "
            "between 0 and {}.",
            p.limit, std::numeric_limits<std::int32_t>::max()));
      }
      auto* l = rel.mutable_limit();
      *l->mutable_input() = input(plan, 0, ctx);
      l->set_limit(static_cast<std::int32_t>(p.limit));
      break;
    }
    case PlanKind::Sort: {
      const auto& p = as<SortPlan>(plan);
      auto* s = rel.mutable_sort();
      *s->mutable_input() = input(plan, 0, ctx);
      for (const auto& o : p.order) *s->add_order() = toSortOrder(o, ctx);
      s->set_is_global(p.global);
      break;
    }
    case PlanKind::WithColumns: {
      const auto& p = as<WithColumnsPlan>(plan);
      auto* w = rel.mutable_with_columns();
      *w->mutable_input() = input(plan, 0, ctx);
      for (std::size_t i = 0; i < p.names.size() && i < p.exprs.size(); ++i) {
        auto* a = w->add_aliases();
        *a->mutable_expr() = toExpression(p.exprs[i], ctx);
        a->add_name(p.names[i]);
      }
      break;
    }
    case PlanKind::Drop: {
      const auto& p = as<DropPlan>(plan);
      auto* d = rel.mutable_drop();
      *d->mutable_input() = input(plan, 0, ctx);
      for (const auto& n : p.names) d->add_column_names(n);
      for (const auto& c : p.columns) *d->add_columns() = toExpression(c, ctx);
      break;
    }
    case PlanKind::Repartition: {
      const auto& p = as<RepartitionPlan>(plan);
      auto* r = rel.mutable_repartition();
      *r->mutable_input() = input(plan, 0, ctx);
      r->set_num_partitions(p.numPartitions);
      r->set_shuffle(p.shuffle);
      break;
    }
    case PlanKind::Persist: {
      const auto& p = as<PersistPlan>(plan);
      if (ctx.persistedRelation) {
        if (auto stand = ctx.persistedRelation(p)) {
          rel = std::move(*stand);
          break;
        }
      }
      // A select of every column over the child: the child keeps its id (columns bound to the frame
      // before persist() resolve) and the select carries the persisted frame's.
      auto* pr = rel.mutable_project();
      *pr->mutable_input() = input(plan, 0, ctx);
      pr->add_expressions()->mutable_unresolved_star();
      break;
    }
    case PlanKind::SubqueryAlias: {
      const auto& p = as<SubqueryAliasPlan>(plan);
      auto* s = rel.mutable_subquery_alias();
      *s->mutable_input() = input(plan, 0, ctx);
      s->set_alias(p.alias);
      break;
    }
    case PlanKind::Sample: {
      const auto& p = as<SamplePlan>(plan);
      auto* s = rel.mutable_sample();
      *s->mutable_input() = input(plan, 0, ctx);
      s->set_lower_bound(p.lowerBound);
      s->set_upper_bound(p.upperBound);
      s->set_with_replacement(p.withReplacement);
      s->set_seed(p.seed);
      s->set_deterministic_order(p.deterministicOrder);
      break;
    }
    case PlanKind::Offset: {
      const auto& p = as<OffsetPlan>(plan);
      if (p.offset < 0 || p.offset > std::numeric_limits<std::int32_t>::max()) {
        throw AnalysisException(fmt::format(
            "[INVALID_LIMIT_LIKE_EXPRESSION.OUT_OF_RANGE] An offset of {} cannot run on Spark Connect: Spark's offset "
            "is between 0 and {}.",
            p.offset, std::numeric_limits<std::int32_t>::max()));
      }
      auto* o = rel.mutable_offset();
      *o->mutable_input() = input(plan, 0, ctx);
      o->set_offset(static_cast<std::int32_t>(p.offset));
      break;
    }
    case PlanKind::NaDrop: {
      const auto& p = as<NaDropPlan>(plan);
      auto* n = rel.mutable_drop_na();
      *n->mutable_input() = input(plan, 0, ctx);
      for (const auto& c : p.subset) n->add_cols(c);
      if (p.minNonNulls >= 0) n->set_min_non_nulls(p.minNonNulls);
      break;
    }
    default:
      cannotRun(fmt::format("The plan node #{}", plan.id));
  }
  rel.mutable_common()->set_plan_id(plan.id);
  ctx.emittedPlanIds[plan.id] = plan.id;
  return rel;
}

}  // namespace

pb::Relation toRelation(const PlanPtr& plan, TranslationContext& ctx) {
  if (!plan) throw AnalysisException("[INTERNAL_ERROR] No plan to translate for Spark Connect.");
  collectPlanIds(*plan, ctx.planIdsInTree);
  return translate(plan, ctx);
}

}  // namespace engine::connect
