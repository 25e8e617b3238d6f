// How `cohorts` codes adoption: one text for every DiD entry's docstring.
#pragma once

#define QUINTARA_COHORTS_DOC                                                     \
  "\n`cohorts` holds each unit's adoption period as a column index: t >= 1 is\n" \
  "treated from column t on, 0 treated throughout (no pre-period), and a\n"      \
  "negative value or one of at least the number of columns never treated."
