// Translation of the engine's logical plans and expressions into Spark Connect relations and expressions.
// Every node kind the system issues has a translation; anything else raises AnalysisException naming the
// operation ("... cannot run on Spark Connect"), never a silent local fallback.
#pragma once

#include <cstdint>
#include <map>
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
};

spark::connect::Relation toRelation(const PlanPtr& plan, TranslationContext& ctx);
spark::connect::Expression toExpression(const ExprPtr& expr, TranslationContext& ctx);

}  // namespace engine::connect
