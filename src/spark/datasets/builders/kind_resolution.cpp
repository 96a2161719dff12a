#include "spark/datasets/builders/kind_resolution.h"

#include <algorithm>
#include <set>

#include "engine/functions.h"
#include "spark/histograms.h"
#include "spark/utils.h"

namespace spark {

namespace F = engine::functions;

namespace {

void remove_first(std::vector<std::string>& names, const std::string& n) {
  auto it = std::find(names.begin(), names.end(), n);
  if (it != names.end()) names.erase(it);
}

std::vector<std::string> sorted_without(const std::vector<std::string>& names, const std::vector<std::string>& drop) {
  std::set<std::string> out(names.begin(), names.end());
  for (const std::string& d : drop) out.erase(d);
  return {out.begin(), out.end()};
}

}  // namespace

KindResolution resolve_kinds(const engine::DataFrame& frame, const std::string& target,
                             const std::optional<std::vector<std::string>>& cat_features,
                             const std::optional<std::vector<std::string>>& cont_features,
                             const std::optional<std::vector<std::string>>& id_features,
                             const std::optional<std::vector<std::string>>& date_features,
                             const std::optional<std::string>& prediction) {
  KindResolution r;
  bool target_listed = false;
  if (cat_features) {
    r.categorical = *cat_features;
    auto it = std::find(r.categorical.begin(), r.categorical.end(), target);
    if (it != r.categorical.end()) {
      r.categorical.erase(it);
      target_listed = true;
    }
  }
  if (!target_listed) {
    r.target_guessed_categorical =
        !guess_cont_cat_col(frame.select(F::col(sql_identifier(target)))).first.empty();
    if (!cat_features) {
      if (!cont_features) {
        r.categorical = guess_cont_cat_col(frame).first;
      } else {
        std::set<std::string> seen;
        const std::set<std::string> continuous(cont_features->begin(), cont_features->end());
        for (const std::string& c : frame.columns())
          if (!continuous.count(c) && seen.insert(c).second) r.categorical.push_back(c);
      }
      remove_first(r.categorical, target);
      if (prediction) remove_first(r.categorical, *prediction);
    }
  }
  if (id_features) r.categorical = sorted_without(r.categorical, *id_features);
  if (date_features) r.categorical = sorted_without(r.categorical, *date_features);
  return r;
}

}  // namespace spark
