// Sets the search filters' thresholds for the lifetime of the object, so
// that a test can send small maps and tables through the filtered paths.
#ifndef SOMAP_TESTS_SEARCH_TUNING_H
#define SOMAP_TESTS_SEARCH_TUNING_H

#include "som/engine/search_internal.h"

namespace somap::testing {

class Tuning {
  public:
    explicit Tuning(som_engine::SearchTuning tuning) : saved_(som_engine::search_tuning()) {
        som_engine::set_search_tuning(tuning);
    }
    ~Tuning() { som_engine::set_search_tuning(saved_); }
    Tuning(const Tuning &) = delete;
    Tuning &operator=(const Tuning &) = delete;

  private:
    som_engine::SearchTuning saved_;
};

}  // namespace somap::testing

#endif
