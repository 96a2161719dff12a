// Name resolution: columns by name (case-insensitive, as Spark's default), by qualifier (t.c), and
// frame-bound columns (df["c"]) through the plan id they carry.
#include <algorithm>
#include <atomic>
#include <cctype>

#include <fmt/format.h>

#include "engine/errors.h"
#include "engine/local/plan/planner.h"

namespace engine::local {

std::int64_t newExprId() {
  static std::atomic<std::int64_t> next{1};
  return next.fetch_add(1, std::memory_order_relaxed);
}

std::string toLower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool equalsIgnoreCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

std::string quoteId(const std::string& s) {
  std::string out = "`";
  for (char c : s) {
    if (c == '`') out += '`';
    out += c;
  }
  return out + "`";
}

std::vector<DataType> Node::types() const {
  std::vector<DataType> t;
  t.reserve(output.size());
  for (const auto& a : output) t.push_back(a.type);
  return t;
}

StructType Node::schema() const {
  std::vector<StructField> f;
  f.reserve(output.size());
  for (const auto& a : output) f.push_back(StructField{a.name, a.type, a.nullable});
  return StructType(std::move(f));
}

namespace {
std::atomic<std::uint64_t> lookupVisits{0};
}  // namespace

std::uint64_t nameLookupVisits() { return lookupVisits.load(std::memory_order_relaxed); }

const std::vector<std::size_t>* NameIndex::find(const std::vector<Attr>& attrs, const std::string& lowerName) const {
  std::call_once(built_, [&] {
    lookupVisits.fetch_add(attrs.size(), std::memory_order_relaxed);
    positions_.reserve(attrs.size());
    for (std::size_t i = 0; i < attrs.size(); ++i) positions_[toLower(attrs[i].name)].push_back(i);
  });
  auto it = positions_.find(lowerName);
  return it == positions_.end() ? nullptr : &it->second;
}

Scope Scope::of(const NodePtr& child) {
  Scope s;
  s.node_ = child.get();
  s.roots.push_back(ScopeRoot{child.get(), 0, child->output.size(), nullptr});
  return s;
}

std::vector<std::size_t> Scope::named(const std::string& name) const {
  if (!node_) return matchingNames(own_, name);
  const std::vector<std::size_t>* found = node_->names.find(node_->output, toLower(name));
  return found ? *found : std::vector<std::size_t>{};
}

namespace {

std::string sqlId(const std::vector<std::string>& parts) {
  std::string out;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i) out += '.';
    out += quoteId(parts[i]);
  }
  return out;
}

std::string attrId(const Attr& a) {
  return a.qualifier.empty() ? quoteId(a.name) : quoteId(a.qualifier) + "." + quoteId(a.name);
}

std::size_t levenshtein(const std::string& a, const std::string& b) {
  std::vector<std::size_t> prev(b.size() + 1), cur(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) prev[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    cur[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      std::size_t sub = prev[j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1);
      cur[j] = std::min({prev[j] + 1, cur[j - 1] + 1, sub});
    }
    std::swap(prev, cur);
  }
  return prev[b.size()];
}

// Candidate indices for a (possibly qualified) name, Spark's order: a qualified match first, then the plain
// column name; finally a dotted name matched whole (columns whose names contain dots). `named` gives the
// positions of the attributes with a name, ignoring case.
template <typename Named>
std::vector<std::size_t> candidates(const std::vector<Attr>& attrs, const std::vector<std::string>& parts,
                                    const Named& named) {
  std::vector<std::size_t> out;
  if (parts.size() == 2) {
    for (std::size_t i : named(parts[1])) {
      if (!attrs[i].qualifier.empty() && equalsIgnoreCase(attrs[i].qualifier, parts[0])) out.push_back(i);
    }
    if (!out.empty()) return out;
  }
  if (parts.size() == 1) return named(parts[0]);
  std::string joined;
  for (std::size_t i = 0; i < parts.size(); ++i) joined += (i ? "." : "") + parts[i];
  return named(joined);
}

// Resolves a name among attrs: the single candidate (duplicates of one attribute count once), or throws.
template <typename Named>
std::optional<std::size_t> pick(const std::vector<Attr>& attrs, const std::vector<std::string>& parts,
                                const Named& named) {
  std::vector<std::size_t> c = candidates(attrs, parts, named);
  if (c.empty()) return std::nullopt;
  std::vector<std::size_t> distinct;
  for (std::size_t i : c) {
    bool seen = false;
    for (std::size_t j : distinct) seen = seen || attrs[j].exprId == attrs[i].exprId;
    if (!seen) distinct.push_back(i);
  }
  if (distinct.size() > 1) {
    std::string list;
    for (std::size_t k = 0; k < distinct.size(); ++k) list += (k ? ", " : "") + attrId(attrs[distinct[k]]);
    throw AnalysisException(fmt::format("[AMBIGUOUS_REFERENCE] Reference {} is ambiguous, could be: [{}].",
                                        sqlId(parts), list));
  }
  return distinct[0];
}

std::optional<std::size_t> pick(const Scope& scope, const std::vector<std::string>& parts) {
  return pick(scope.attrs(), parts, [&](const std::string& name) { return scope.named(name); });
}

std::optional<std::size_t> pick(const Node& node, const std::vector<std::string>& parts) {
  return pick(node.output, parts, [&](const std::string& name) {
    const std::vector<std::size_t>* found = node.names.find(node.output, toLower(name));
    return found ? *found : std::vector<std::size_t>{};
  });
}

// Finds the node with `planId` in the subtree and resolves `parts` in its output; returns the attribute's exprId
// as seen at `n` (following the renames joins apply to their right side).
std::optional<std::int64_t> findBound(const Node* n, std::int64_t planId, const std::vector<std::string>& parts) {
  if (n->planId == planId) {
    auto idx = pick(*n, parts);
    if (!idx) throwUnresolved(parts, n->output);
    return n->output[*idx].exprId;
  }
  for (std::size_t c = 0; c < n->children.size(); ++c) {
    auto r = findBound(n->children[c].get(), planId, parts);
    if (!r) continue;
    if (n->kind == PlanKind::Join && c == 1) {
      auto it = n->rightRemap.find(*r);
      if (it != n->rightRemap.end()) return it->second;
    }
    return r;
  }
  return std::nullopt;
}

}  // namespace

void throwUnresolved(const std::vector<std::string>& parts, const std::vector<Attr>& attrs) {
  std::string base = parts.empty() ? std::string() : parts.back();
  std::vector<std::pair<std::size_t, std::string>> ranked;
  for (const auto& a : attrs) {
    std::string id = attrId(a);
    bool dup = false;
    for (const auto& r : ranked) dup = dup || r.second == id;
    if (dup) continue;
    // Spark measures the distance from the quoted candidate; ties keep the column order.
    std::string joined;
    for (std::size_t i = 0; i < parts.size(); ++i) joined += (i ? "." : "") + parts[i];
    std::size_t d = parts.size() > 1 ? levenshtein(id, joined) : levenshtein(quoteId(a.name), base);
    ranked.emplace_back(d, id);
  }
  std::stable_sort(ranked.begin(), ranked.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
  if (ranked.empty()) {
    throw AnalysisException(fmt::format(
        "[UNRESOLVED_COLUMN.WITHOUT_SUGGESTION] A column, variable, or function parameter with name {} cannot be "
        "resolved.",
        sqlId(parts)));
  }
  std::string list;
  for (std::size_t i = 0; i < ranked.size() && i < 5; ++i) list += (i ? ", " : "") + ranked[i].second;
  throw AnalysisException(
      fmt::format("[UNRESOLVED_COLUMN.WITH_SUGGESTION] A column, variable, or function parameter with name {} cannot "
                  "be resolved. Did you mean one of the following? [{}].",
                  sqlId(parts), list));
}

std::vector<std::size_t> matchingNames(const std::vector<Attr>& attrs, const std::string& name) {
  lookupVisits.fetch_add(attrs.size(), std::memory_order_relaxed);
  std::vector<std::size_t> out;
  for (std::size_t i = 0; i < attrs.size(); ++i) {
    if (equalsIgnoreCase(attrs[i].name, name)) out.push_back(i);
  }
  return out;
}

std::optional<std::size_t> tryResolveName(const std::string& name, const Scope& scope) {
  return pick(scope, {name});
}

std::size_t resolveAttribute(const Expr& e, const Scope& scope) {
  const auto& parts = e.nameParts;
  if (e.planId >= 0) {
    for (const auto& root : scope.roots) {
      auto id = findBound(root.node, e.planId, parts);
      if (!id) continue;
      std::int64_t exprId = *id;
      if (root.remap) {
        auto it = root.remap->find(exprId);
        if (it != root.remap->end()) exprId = it->second;
      }
      const std::vector<Attr>& attrs = scope.attrs();
      for (std::size_t i = root.offset; i < root.offset + root.count && i < attrs.size(); ++i) {
        if (attrs[i].exprId == exprId) return i;
      }
      break;
    }
    std::string name;
    for (std::size_t i = 0; i < parts.size(); ++i) name += (i ? "." : "") + parts[i];
    throw AnalysisException(fmt::format(
        "[CANNOT_RESOLVE_DATAFRAME_COLUMN] Cannot resolve dataframe column \"{}\". It's probably because of illegal "
        "references like `df1.select(df2.col(\"a\"))`.",
        name));
  }
  auto idx = pick(scope, parts);
  if (!idx) throwUnresolved(parts, scope.attrs());
  return *idx;
}

}  // namespace engine::local
