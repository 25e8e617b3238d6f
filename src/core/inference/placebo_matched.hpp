// The matched placebo test: placebos of the treated set's size, drawn from
// every unit.
//
// A test that refits placebos on donor pools without the treated units is
// not exact: the treated fit's pool holds every placebo unit and one or N1
// units more than any placebo's, and where the fit leans on its pool (robust
// synthetic control near interpolation, any estimator averaging several
// treated units) that asymmetry shifts the treated statistic against the
// placebos'. Here every placebo treats N1 units of the whole panel (treated
// units included) and is refitted on all the other units, so under H0 every
// unit plays the same part and the ranks are exchangeable. Under H0: tau the
// treated units' untreated post-period is y - tau, wherever they appear; the
// test at tau = 0 reads the panel as it is.
//
// The inverted interval: for estimators whose counterfactual is linear in
// the pool's post-period (Traits::kLinearInPoolPost) each placebo's gap moves
// on a line in tau, found from one more refit, and the interval is swept
// exactly (inversion.hpp); for the others each end is bisected with refits
// of the whole test at trial effects.
#pragma once

#include "core/estimators/fit.hpp"
#include "core/estimators/panel.hpp"
#include "core/estimators/sc/method.hpp"
#include "core/inference/placebo.hpp"

namespace quintara::inference {

// `fit` is method.fit_at of the block panel at its treatment time.
PlaceboResult matched_placebo(const estimators::Panel& panel,
                              const estimators::sc::ScMethod& method, const estimators::ScFit& fit,
                              const PlaceboOptions& options);

}  // namespace quintara::inference
