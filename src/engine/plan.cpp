#include "engine/plan.h"

#include <atomic>
#include <cctype>

#include <fmt/format.h>

#include "engine/errors.h"

namespace engine {

std::int64_t nextPlanId() {
  static std::atomic<std::int64_t> next{1};
  return next.fetch_add(1, std::memory_order_relaxed);
}

Plan::Plan(PlanKind k) : kind(k), id(nextPlanId()) {}

JoinType parseJoinType(const std::string& how) {
  std::string h;
  for (char c : how)
    if (c != '_') h.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  if (h == "inner") return JoinType::Inner;
  if (h == "cross") return JoinType::Cross;
  if (h == "outer" || h == "full" || h == "fullouter") return JoinType::FullOuter;
  if (h == "left" || h == "leftouter") return JoinType::LeftOuter;
  if (h == "right" || h == "rightouter") return JoinType::RightOuter;
  if (h == "semi" || h == "leftsemi") return JoinType::LeftSemi;
  if (h == "anti" || h == "leftanti") return JoinType::LeftAnti;
  throw AnalysisException(fmt::format(
      "[UNSUPPORTED_JOIN_TYPE] Unsupported join type '{}'. Supported join types include: 'inner', 'outer', 'full', 'fullouter', "
      "'full_outer', 'leftouter', 'left', 'left_outer', 'rightouter', 'right', 'right_outer', 'leftsemi', "
      "'left_semi', 'semi', 'leftanti', 'left_anti', 'anti', 'cross'.",
      how));
}

std::string joinTypeName(JoinType t) {
  switch (t) {
    case JoinType::Inner: return "Inner";
    case JoinType::LeftOuter: return "LeftOuter";
    case JoinType::RightOuter: return "RightOuter";
    case JoinType::FullOuter: return "FullOuter";
    case JoinType::LeftSemi: return "LeftSemi";
    case JoinType::LeftAnti: return "LeftAnti";
    case JoinType::Cross: return "Cross";
  }
  return "?";
}

namespace {

std::string exprList(const std::vector<ExprPtr>& es) {
  std::string s;
  for (const auto& e : es) s += (s.empty() ? "" : ", ") + e->toString();
  return s;
}

void render(const Plan& p, int depth, std::string& out) {
  out += std::string(static_cast<std::size_t>(depth) * 2, ' ');
  switch (p.kind) {
    case PlanKind::LocalRelation: {
      const auto& n = static_cast<const LocalRelationPlan&>(p);
      out += fmt::format("LocalRelation {} rows {}", n.table ? n.table->size() : 0,
                         n.table ? n.table->schema().simpleString() : "");
      break;
    }
    case PlanKind::Range: {
      const auto& n = static_cast<const RangePlan&>(p);
      out += fmt::format("Range ({}, {}, step={})", n.start, n.end, n.step);
      break;
    }
    case PlanKind::CsvScan: {
      const auto& n = static_cast<const CsvScanPlan&>(p);
      out += fmt::format("CsvScan {} files {}", n.files.size(), n.schema.simpleString());
      break;
    }
    case PlanKind::ParquetScan: {
      const auto& n = static_cast<const ParquetScanPlan&>(p);
      out += fmt::format("ParquetScan {} files {}", n.files.size(), n.schema.simpleString());
      break;
    }
    case PlanKind::Project: out += "Project [" + exprList(static_cast<const ProjectPlan&>(p).exprs) + "]"; break;
    case PlanKind::Filter: out += "Filter " + static_cast<const FilterPlan&>(p).condition->toString(); break;
    case PlanKind::Aggregate: {
      const auto& n = static_cast<const AggregatePlan&>(p);
      out += "Aggregate [" + exprList(n.groupings) + "], [" + exprList(n.aggregates) + "]";
      break;
    }
    case PlanKind::Join: {
      const auto& n = static_cast<const JoinPlan&>(p);
      out += "Join " + joinTypeName(n.joinType);
      if (n.condition) out += ", " + n.condition->toString();
      if (!n.usingColumns.empty()) {
        std::string u;
        for (const auto& c : n.usingColumns) u += (u.empty() ? "" : ", ") + c;
        out += ", USING [" + u + "]";
      }
      break;
    }
    case PlanKind::SetOperation: {
      const auto& n = static_cast<const SetOperationPlan&>(p);
      static const char* names[] = {"Union", "Except", "Intersect"};
      out += std::string(names[static_cast<int>(n.opType)]) + (n.isAll ? " All" : " Distinct");
      break;
    }
    case PlanKind::Deduplicate: out += "Deduplicate"; break;
    case PlanKind::Limit: out += fmt::format("Limit {}", static_cast<const LimitPlan&>(p).limit); break;
    case PlanKind::Sort: out += "Sort [" + exprList(static_cast<const SortPlan&>(p).order) + "]"; break;
    case PlanKind::WithColumns: {
      const auto& n = static_cast<const WithColumnsPlan&>(p);
      out += "WithColumns [";
      for (std::size_t i = 0; i < n.names.size(); ++i) out += (i ? ", " : "") + n.names[i] + " = " + n.exprs[i]->toString();
      out += "]";
      break;
    }
    case PlanKind::Drop: out += "Drop"; break;
    case PlanKind::Repartition:
      out += fmt::format("Repartition {}", static_cast<const RepartitionPlan&>(p).numPartitions);
      break;
    case PlanKind::Persist: out += "Persist"; break;
    case PlanKind::SubqueryAlias: out += "SubqueryAlias " + static_cast<const SubqueryAliasPlan&>(p).alias; break;
    case PlanKind::Sample: {
      const auto& n = static_cast<const SamplePlan&>(p);
      out += fmt::format("Sample [{}, {}) seed {}", n.lowerBound, n.upperBound, n.seed);
      break;
    }
    case PlanKind::NaDrop: out += "NaDrop"; break;
    case PlanKind::Offset: out += fmt::format("Offset {}", static_cast<const OffsetPlan&>(p).offset); break;
  }
  out += "\n";
  for (const auto& in : p.inputs) render(*in, depth + 1, out);
}

}  // namespace

std::string planToString(const Plan& p) {
  std::string out;
  render(p, 0, out);
  return out;
}

}  // namespace engine
