// The learning-rate time constant T = K * exp(S), S being the branch-point
// series of Lambert's W (Corless et al.) at a fixed argument, cut after 1000
// terms. The truncation is part of the definition: T is 27.104644554585676,
// not the exact branch value 27.0969.
#include "som/som.h"

#include <cmath>

#include "som/base/exact_build.h"
#include "som/base/fp_environment.h"
#include "som/literal/literal.h"
#include "som/model/network_internal.h"

namespace {
// (0.8 * 200 * e) / 0.01 and -sqrt(2 * (e * (-200 / K) + 1)), as doubles.
constexpr double kScale = 43492.50925534472;
constexpr double kArgument = -1.4053469322555197;
constexpr int kTerms = 1000;
}  // namespace

extern "C" void som_time_constant(som_network *network) {
    som_internal::DefaultFloatingPoint environment;
    som_internal::time_constant(network);
}

void som_internal::time_constant(som_network *network) {
    if (network == nullptr || network->time_constant != 0.0) return;
    double *mu = network->series_mu;
    double *alpha = network->series_alpha;
    mu[0] = -1.0;
    mu[1] = 1.0;
    alpha[0] = 2.0;
    alpha[1] = -1.0;
    for (int k = 2; k < kTerms; ++k) {
        double running = 0.0;
        for (int j = 2; j <= k - 1; ++j) running = mu[j] * mu[k + 1 - j] + running;
        alpha[k] = running;
        const double a = static_cast<double>(k - 1) / static_cast<double>(k + 1);
        const double b = alpha[k - 2] * 0.25 + mu[k - 2] * 0.5;
        const double c = b * a;
        const double d = alpha[k] * (-0.5) + c;
        mu[k] = d - mu[k - 1] / static_cast<double>(k + 1);
    }
    double sum = 0.0;
    for (int k = 0; k < kTerms; ++k) sum = sum + std::pow(kArgument, static_cast<double>(k)) * mu[k];
    network->time_constant = std::exp(sum) * kScale;
}
