// The geo_select entry: search and rank candidate treated-market sets, and
// its steps as private helpers.
#pragma once

#include "bindings/entry.hpp"

namespace quintara::bindings {

extern const EntryDef geo_select_entry;

// Private helpers (outside the function table and `__all__`): the steps of
// geo_select one by one, for evaluating candidates in separate processes and
// merging them into the same ranked list. The first two take geo_select's
// arguments and run its checks, with the same messages.
extern const EntryDef select_candidates_entry;    // the sets in production order
extern const EntryDef evaluate_candidates_entry;  // (y, candidates, ...): records, in order
extern const EntryDef rank_candidates_entry;      // (scores): the ranking order
extern const EntryDef candidate_counts_entry;     // sets per requested size, and taken

}  // namespace quintara::bindings
