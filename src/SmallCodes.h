// The small exports' codes, and what each small export's result means (the
// exports are in Brindlex.cpp).
#pragma once

#include "ResultCodes.h"

// Host version check: 0, -1 (marks found) or -17 (cannot open).
inline constexpr float kVersionMarksFound = -1.0f;
inline constexpr float kVersionFileCannotOpen = -17.0f;

// What Version returns.
inline constexpr float kVersionNumber = 48.0f;

// What each small export's result means.
inline constexpr results::Row kSmallResults[] = {
    results::answer("Version", kVersionNumber, "the library's version number"),
    results::code("SendKey", 0.0f, "done (nothing to do)", results::Builds::Windows),
    results::code("GetString", 0.0f, "mem1 holds the text from the offset", results::Builds::Mac),
    results::code("GetString", -1.0f, "text or mem1 is null", results::Builds::Mac),
    results::answer("checkKelvaneVersion", kVersionMarksFound, "the file holds the version marks",
                    results::Builds::Windows),
    results::code("checkKelvaneVersion", 0.0f, "no version marks, or text is null", results::Builds::Windows),
    results::code("checkKelvaneVersion", kVersionFileCannotOpen, "the file cannot be opened", results::Builds::Windows),
};
