// Sun & Abraham on the materialised design: the (N*T) x P matrix of
// within-transformed cell indicators, solved by Householder QR. It costs
// N*T*P memory and N*T*P^2 time, so it only serves as the reference that the
// block-structured `sunab::fit` is checked against on small panels.
#pragma once

#include "core/estimators/did/sunab.hpp"

namespace quintara::estimators::did::sunab {

// Same preconditions and result as `fit`.
SaResult fit_dense(const Panel& panel);

}  // namespace quintara::estimators::did::sunab
