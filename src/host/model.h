// The framework's model interface.
#pragma once

#include <any>
#include <string>

namespace norq {

class BaseModel {
 public:
  virtual ~BaseModel() = default;
  virtual std::string name() const = 0;
  // Training data and labels of the backend's own types (for example engine frames).
  virtual void fit(const std::any& x, const std::any& y) = 0;
  virtual std::any predict(const std::any& x) const = 0;
};

}  // namespace norq
