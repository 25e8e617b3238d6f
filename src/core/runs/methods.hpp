// Method names parsed from user input: the geo rule and the batched-fit
// rule of estimators/sc/method.hpp, with the message a caller sees for a
// name that is neither.
#pragma once

#include <string_view>

#include "core/estimators/sc/method.hpp"

namespace quintara::runs {

// The runs name the registry's pieces unqualified.
using estimators::sc::batch_method;
using estimators::sc::display_name;
using estimators::sc::fit_method;
using estimators::sc::geo_method;
using estimators::sc::Method;
using estimators::sc::method_from_exact_name;
using estimators::sc::method_from_name;
using estimators::sc::method_of;

// method_from_exact_name, or parse_method's UserError.
estimators::sc::Method parse_exact_method(std::string_view name);

// method_from_name, or UserError "unknown method '{}' (expected
// sc/asc/sdid/fp/rsc)" quoting the name as passed.
estimators::sc::Method parse_method(std::string_view name);

}  // namespace quintara::runs
