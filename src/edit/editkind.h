#pragma once
// The edits, each described once: what it reads from the entry fields and
// how the batch command names it. Adding an edit means a row here, its
// geometry in planEdit, its button in the window's layout.

#include <array>
#include <optional>
#include <string_view>

namespace pv {

// The numbers are the ones the edit buttons pass to fncInputCheck.
enum class EditKind { Shrink = 1, Trim = 2, CentreCrop = 3 };

// Which entry fields an edit takes its numbers from, besides the edge
// boxes: a number of pixels (txtDotDelValue) or a size (txtYoko, txtTate).
enum class EditInput { Pixels, Size };

struct EditDescription {
    EditKind kind;
    EditInput input;
    std::string_view option; // the batch command's option, without "--"
    std::string_view help;   // its --help text, after the option and its value; a
                             // line after the first is indented as it is here
};

inline constexpr std::array kEdits{
    EditDescription{EditKind::Trim, EditInput::Pixels, "trim", "cut N pixels off each chosen edge (削る)"},
    EditDescription{EditKind::CentreCrop, EditInput::Size, "crop", "keep W x H pixels from the centre (中心切り抜き)"},
    EditDescription{EditKind::Shrink, EditInput::Size, "shrink",
                    "cut to W:H from the chosen edges, then scale to\n  "
                    "exactly W x H (リサイズ（縮小）)"},
};

[[nodiscard]] constexpr const EditDescription &describe(EditKind kind)
{
    for (const EditDescription &d : kEdits)
        if (d.kind == kind)
            return d;
    return kEdits[0];
}

// The kind a button's number stands for; nothing for any other number.
[[nodiscard]] constexpr std::optional<EditKind> editKindOf(int ChkIndex)
{
    for (const EditDescription &d : kEdits)
        if (int(d.kind) == ChkIndex)
            return d.kind;
    return std::nullopt;
}

} // namespace pv
