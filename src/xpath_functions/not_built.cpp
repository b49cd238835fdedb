// Standard functions not built yet: each fails with "Function %s not
// implemented" until its implementation replaces the line here. Lines are
// grouped as the registry is, one group per family, so that work on
// different families touches different groups.
#include "xpath_functions/functions.h"

#define QUORVEL_XPATH_NOT_BUILT(function, name)                                                                    \
    quorvel_xpath_result* function(quorvel_xpath_context* context, quorvel_xpath_ast_node**, size_t) {            \
        xpath_context_fail(context, "Function %s not implemented", name);                                          \
        return nullptr;                                                                                            \
    }

// ---- XPath 1.0 core functions and their 2.0 extensions


// ---- Sequence tests and reshaping


// ---- Documents and collections


// ---- More sequence functions


// ---- Higher-order functions


// ---- Square root


// ---- Node properties


// ---- Environment, external text and miscellaneous


// ---- The math namespace


// ---- Numbers, tokens and code points


// ---- URIs and QNames


// ---- XML Schema constructors


// ---- Dates, times and durations

QUORVEL_XPATH_NOT_BUILT(fn_adjust_dttz, "adjust-dateTime-to-timezone")
QUORVEL_XPATH_NOT_BUILT(fn_adjust_dtetz, "adjust-date-to-timezone")
QUORVEL_XPATH_NOT_BUILT(fn_adjust_ttz, "adjust-time-to-timezone")
QUORVEL_XPATH_NOT_BUILT(fn_format_dttz, "format-dateTime")
QUORVEL_XPATH_NOT_BUILT(fn_format_dtetz, "format-date")
QUORVEL_XPATH_NOT_BUILT(fn_format_ttz, "format-time")
QUORVEL_XPATH_NOT_BUILT(fn_year_from_dt, "year-from-dateTime")
QUORVEL_XPATH_NOT_BUILT(fn_month_from_dt, "month-from-date")
QUORVEL_XPATH_NOT_BUILT(fn_day_from_dt, "day-from-date")
QUORVEL_XPATH_NOT_BUILT(fn_hours_from_t, "hours-from-dateTime")
QUORVEL_XPATH_NOT_BUILT(fn_minutes_from_t, "minutes-from-dateTime")
QUORVEL_XPATH_NOT_BUILT(fn_seconds_from_t, "seconds-from-dateTime")
QUORVEL_XPATH_NOT_BUILT(fn_minutes_from_dur, "minutes-from-duration")
QUORVEL_XPATH_NOT_BUILT(fn_seconds_from_dur, "seconds-from-duration")
QUORVEL_XPATH_NOT_BUILT(fn_timezone_from, "timezone-from-dateTime")
QUORVEL_XPATH_NOT_BUILT(fn_parse_ietf_date, "parse-ietf-date")
QUORVEL_XPATH_NOT_BUILT(fn_days_from_dur, "days-from-duration")
QUORVEL_XPATH_NOT_BUILT(fn_hours_from_dur, "hours-from-duration")

// ---- Regular expressions


// ---- Maps and arrays


// ---- JSON and serialization


// ---- Node names

