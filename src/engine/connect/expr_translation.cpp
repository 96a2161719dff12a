// Expressions -> Spark Connect expressions, with the function names pyspark's Connect client sends.
#include <cctype>
#include <limits>

#include <fmt/format.h>

#include "engine/connect/plan_translation.h"
#include "engine/connect/type_translation.h"
#include "engine/errors.h"
#include "engine/udf.h"

namespace engine::connect {

namespace pb = spark::connect;

namespace {

bool isPlainIdentifier(const std::string& s) {
  if (s.empty()) return false;
  for (unsigned char c : s) {
    if (!std::isalnum(c) && c != '_') return false;
  }
  return true;
}

// Spark parses an unparsed identifier as dot-separated parts, each optionally `quoted` (a backtick inside a
// quoted part is doubled). Parts that are not plain identifiers are quoted so that names with dots, spaces or
// other characters reach Spark whole.
std::string quotedIdentifier(const std::vector<std::string>& parts) {
  std::string out;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) out += '.';
    if (isPlainIdentifier(parts[i])) {
      out += parts[i];
    } else {
      out += '`';
      for (char c : parts[i]) {
        if (c == '`') out += '`';
        out += c;
      }
      out += '`';
    }
  }
  return out;
}

void setLiteral(pb::Expression::Literal& lit, const Value& v, const DataType& declared) {
  if (v.isNull()) {
    *lit.mutable_null() = toProtoType(declared);
    return;
  }
  std::visit(
      [&](const auto& x) {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, std::monostate>) {
          *lit.mutable_null() = toProtoType(declared);
        } else if constexpr (std::is_same_v<T, bool>) {
          lit.set_boolean(x);
        } else if constexpr (std::is_same_v<T, std::int8_t>) {
          lit.set_byte(x);
        } else if constexpr (std::is_same_v<T, std::int16_t>) {
          lit.set_short_(x);
        } else if constexpr (std::is_same_v<T, std::int32_t>) {
          lit.set_integer(x);
        } else if constexpr (std::is_same_v<T, std::int64_t>) {
          lit.set_long_(x);
        } else if constexpr (std::is_same_v<T, float>) {
          lit.set_float_(x);
        } else if constexpr (std::is_same_v<T, double>) {
          lit.set_double_(x);
        } else if constexpr (std::is_same_v<T, Decimal>) {
          auto* d = lit.mutable_decimal();
          d->set_value(x.toString());
          d->set_precision(x.precision);
          d->set_scale(x.scale);
        } else if constexpr (std::is_same_v<T, std::string>) {
          lit.set_string(x);
        } else if constexpr (std::is_same_v<T, Date>) {
          lit.set_date(x.days);
        } else if constexpr (std::is_same_v<T, Timestamp>) {
          lit.set_timestamp(x.micros);
        } else if constexpr (std::is_same_v<T, YearMonthIntervalValue>) {
          lit.set_year_month_interval(x.months);
        } else if constexpr (std::is_same_v<T, DayTimeIntervalValue>) {
          lit.set_day_time_interval(x.micros);
        } else {
          const ArrayValue& a = *x;
          auto* arr = lit.mutable_array();
          *arr->mutable_element_type() = toProtoType(a.elementType);
          for (const Value& e : a.elements) setLiteral(*arr->add_elements(), e, a.elementType);
        }
      },
      v.storage());
}

pb::Expression functionCall(const std::string& name, std::vector<pb::Expression> args, bool distinct = false) {
  pb::Expression out;
  auto* f = out.mutable_unresolved_function();
  f->set_function_name(name);
  f->set_is_distinct(distinct);
  for (auto& a : args) *f->add_arguments() = std::move(a);
  return out;
}

pb::Expression boundaryValue(std::int64_t v) {
  pb::Expression out;
  if (v >= std::numeric_limits<std::int32_t>::min() && v <= std::numeric_limits<std::int32_t>::max()) {
    out.mutable_literal()->set_integer(static_cast<std::int32_t>(v));
  } else {
    out.mutable_literal()->set_long_(v);
  }
  return out;
}

void setBoundary(pb::Expression::Window::WindowFrame::FrameBoundary& b, std::int64_t v) {
  if (v == std::numeric_limits<std::int64_t>::min() || v == std::numeric_limits<std::int64_t>::max()) {
    b.set_unbounded(true);
  } else if (v == 0) {
    b.set_current_row(true);
  } else {
    *b.mutable_value() = boundaryValue(v);
  }
}

pb::Expression::SortOrder sortOrderOf(const Expr& e, TranslationContext& ctx) {
  pb::Expression::SortOrder so;
  *so.mutable_child() = toExpression(e.children.at(0), ctx);
  so.set_direction(e.ascending ? pb::Expression::SortOrder::SORT_DIRECTION_ASCENDING
                               : pb::Expression::SortOrder::SORT_DIRECTION_DESCENDING);
  so.set_null_ordering(e.nullsFirst ? pb::Expression::SortOrder::SORT_NULLS_FIRST
                                    : pb::Expression::SortOrder::SORT_NULLS_LAST);
  return so;
}

}  // namespace

pb::Expression::SortOrder toSortOrder(const ExprPtr& expr, TranslationContext& ctx) {
  if (expr->kind == ExprKind::SortOrder) return sortOrderOf(*expr, ctx);
  // A plain column in an ordering is ascending with nulls first, as in Spark.
  pb::Expression::SortOrder so;
  *so.mutable_child() = toExpression(expr, ctx);
  so.set_direction(pb::Expression::SortOrder::SORT_DIRECTION_ASCENDING);
  so.set_null_ordering(pb::Expression::SortOrder::SORT_NULLS_FIRST);
  return so;
}

pb::Expression::Literal toLiteral(const Value& v, const DataType& type) {
  pb::Expression::Literal lit;
  setLiteral(lit, v, v.isNull() ? type : v.dataType());
  return lit;
}

pb::Expression toExpression(const ExprPtr& expr, TranslationContext& ctx) {
  const Expr& e = *expr;
  pb::Expression out;
  switch (e.kind) {
    case ExprKind::Literal:
      if (e.literal.is<YearMonthIntervalValue>() || e.literal.is<DayTimeIntervalValue>()) {
        // A proto interval literal loses its fields (INTERVAL '3' DAY would arrive as DAY TO SECOND and turn
        // date + interval into a timestamp): it is sent as the SQL text Spark parses back to the same type.
        out.mutable_expression_string()->set_expression(e.literal.toString());
        return out;
      }
      *out.mutable_literal() = toLiteral(e.literal, e.literalType);
      return out;
    case ExprKind::Attribute: {
      auto* a = out.mutable_unresolved_attribute();
      a->set_unparsed_identifier(quotedIdentifier(e.nameParts));
      // A column bound to a frame (df["c"]) names the relation that produced it. When that frame is not
      // part of this plan, the column resolves by name, as the embedded engine resolves it.
      if (e.planId >= 0 && ctx.planIdsInTree.count(e.planId) > 0) a->set_plan_id(e.planId);
      return out;
    }
    case ExprKind::Star: {
      auto* s = out.mutable_unresolved_star();
      if (!e.nameParts.empty()) s->set_unparsed_target(quotedIdentifier(e.nameParts) + ".*");
      return out;
    }
    case ExprKind::Function: {
      std::vector<pb::Expression> args;
      args.reserve(e.children.size());
      for (const auto& c : e.children) args.push_back(toExpression(c, ctx));
      // Operators pyspark's client rewrites: a != b is not(a == b); a BETWEEN lo AND hi is
      // (a >= lo) and (a <= hi).
      if (e.name == "!=" && args.size() == 2) {
        std::vector<pb::Expression> inner;
        inner.push_back(functionCall("==", std::move(args)));
        return functionCall("not", std::move(inner));
      }
      if (e.name == "between" && args.size() == 3) {
        std::vector<pb::Expression> ge, le, both;
        ge.push_back(args[0]);
        ge.push_back(std::move(args[1]));
        le.push_back(std::move(args[0]));
        le.push_back(std::move(args[2]));
        both.push_back(functionCall(">=", std::move(ge)));
        both.push_back(functionCall("<=", std::move(le)));
        return functionCall("and", std::move(both));
      }
      // SQL text's unary minus and plus (-x, +x) are Spark's negative and positive.
      if (args.size() == 1 && (e.name == "-" || e.name == "+")) {
        return functionCall(e.name == "-" ? "negative" : "positive", std::move(args));
      }
      return functionCall(e.name, std::move(args), e.isDistinct);
    }
    case ExprKind::Alias: {
      auto* a = out.mutable_alias();
      *a->mutable_expr() = toExpression(e.children.at(0), ctx);
      a->add_name(e.name);
      return out;
    }
    case ExprKind::Cast: {
      auto* c = out.mutable_cast();
      *c->mutable_expr() = toExpression(e.children.at(0), ctx);
      *c->mutable_type() = toProtoType(e.castType);
      return out;
    }
    case ExprKind::SortOrder:
      *out.mutable_sort_order() = sortOrderOf(e, ctx);
      return out;
    case ExprKind::Window: {
      auto* w = out.mutable_window();
      *w->mutable_window_function() = toExpression(e.children.at(0), ctx);
      if (e.window) {
        const WindowSpecData& spec = *e.window;
        for (const auto& p : spec.partitionBy) *w->add_partition_spec() = toExpression(p, ctx);
        for (const auto& o : spec.orderBy) *w->add_order_spec() = toSortOrder(o, ctx);
        if (spec.hasFrame) {
          auto* f = w->mutable_frame_spec();
          f->set_frame_type(spec.frameType == FrameType::Rows
                                ? pb::Expression::Window::WindowFrame::FRAME_TYPE_ROW
                                : pb::Expression::Window::WindowFrame::FRAME_TYPE_RANGE);
          setBoundary(*f->mutable_lower(), spec.lower);
          setBoundary(*f->mutable_upper(), spec.upper);
        }
      }
      return out;
    }
    case ExprKind::Subquery:
      throw AnalysisException(fmt::format(
          "[UNSUPPORTED_FEATURE] {} cannot run on Spark Connect from this client: run the query on the embedded "
          "engine, or write it as a join.",
          e.name == "scalar" ? "A scalar subquery" : e.name == "exists" ? "An EXISTS subquery" : "An IN subquery"));
    case ExprKind::Udf: {
      const UdfInfo* info = e.udf.get();
      const PythonUdfPayload* payload = info ? info->pythonPayload() : nullptr;
      if (payload == nullptr) {
        throw AnalysisException(fmt::format(
            "[UNSUPPORTED_FEATURE] The user-defined function `{}` is a C++ function of this process and cannot run "
            "on Spark Connect: only functions serialised for Spark's Python workers run on a remote session.",
            info ? info->name : std::string("udf")));
      }
      auto* f = out.mutable_common_inline_user_defined_function();
      f->set_function_name(info->name);
      f->set_deterministic(true);
      for (const auto& c : e.children) *f->add_arguments() = toExpression(c, ctx);
      auto* py = f->mutable_python_udf();
      *py->mutable_output_type() = toProtoType(info->returnType);
      py->set_eval_type(payload->evalType);
      py->set_command(payload->command);
      py->set_python_ver(payload->pythonVersion);
      return out;
    }
  }
  throw AnalysisException("[UNSUPPORTED_FEATURE] An expression of this kind cannot run on Spark Connect.");
}

}  // namespace engine::connect
