// Translation of the engine's logical plans and expressions into Spark Connect relations and expressions.
// Every node kind the system issues has a translation; anything else raises AnalysisException naming the
// operation ("... cannot run on Spark Connect"), never a silent local fallback.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <memory>
#include <string>

#include "engine/expression.h"
#include "engine/plan.h"
#include "spark/connect/expressions.pb.h"
#include "spark/connect/relations.pb.h"

namespace engine {
class SparkSession;
}

namespace engine::connect {

// State of one translation (one request): the session (views, configuration, time zone) and the plan ids
// already emitted, so that attributes bound to a frame (df["c"]) refer to the relation that produced them.
struct TranslationContext {
  explicit TranslationContext(SparkSession& s) : session(s) {}
  SparkSession& session;
  std::map<std::int64_t, std::int64_t> emittedPlanIds;  // engine plan id -> plan_id sent in RelationCommon
  // Ids of every plan node of the tree being translated (filled by toRelation at its root): an attribute
  // bound to a frame outside the tree resolves by name instead of failing on a dangling plan_id.
  std::set<std::int64_t> planIdsInTree;
  // The backend's stand-in for a persisted frame already materialised on the server (for instance a
  // CachedRemoteRelation); nullopt (or no hook): the persisted plan's child is translated.
  std::function<std::optional<spark::connect::Relation>(const PersistPlan&)> persistedRelation;
};

// Plan ids in RelationCommon are the engine's plan ids, so df["c"] (an attribute with the frame's plan id)
// resolves against the relation of that frame, as pyspark's client does.
spark::connect::Relation toRelation(const PlanPtr& plan, TranslationContext& ctx);
spark::connect::Expression toExpression(const ExprPtr& expr, TranslationContext& ctx);
spark::connect::Expression::SortOrder toSortOrder(const ExprPtr& expr, TranslationContext& ctx);
// A literal of a value; a null takes `type` (its declared type).
spark::connect::Expression::Literal toLiteral(const Value& v, const DataType& type);

}  // namespace engine::connect
