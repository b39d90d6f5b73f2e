#pragma once
// Why the imaging layer could not open, edit or write a picture.

#include "edit/result.h"

#include <QString>

namespace pv {

struct Fault {
    enum class Cause {
        Content, // the file itself: damaged, not a picture, over the limits
        Memory,  // the memory could not be had; another try may succeed
        Exists,  // the name was taken, and was not to be replaced
        System,  // the system refused: its own words are the text
        Crashed, // the process that decoded it died: the text tells how
    };
    Cause cause = Cause::Content;
    QString text;

    [[nodiscard]] static Fault content(const QString &why) { return {Cause::Content, why}; }
    [[nodiscard]] static Fault memory() { return {Cause::Memory, QStringLiteral("out of memory")}; }
    [[nodiscard]] static Fault system(int error);
};

template <class T>
using Made = Result<T, Fault>;

} // namespace pv
