// Registration of the utils module's calculation: the batch predictions of a model.
#include "spark/predictions.h"
#include "spark/utils.h"

namespace spark::utils {

void load() { register_predictions(); }

}  // namespace spark::utils
