#pragma once
// Runs a piece of work so that a failure inside it is written to the error
// log and the program goes on.
#include "engine/General.h"

#include <exception>

namespace General {

// Runs fn; a failure is logged as the sentence (which ends with "The
// operating system reports: ") followed by "number, description". True when
// fn ran to its end.
template <class F>
bool Trap(const char* sentence, F&& fn)
{
    try {
        fn();
        return true;
    } catch (...) {
        LogFailure(QString::fromLatin1(sentence), std::current_exception());
    }
    return false;
}

} // namespace General
