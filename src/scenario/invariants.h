#pragma once

#include <QJsonObject>
#include <QString>

namespace pv {

class Form1;

// What must hold after any action on the window, given the visible state
// before and after it (from visibleState) and whether the action showed a
// message. Returns the first violation, or an empty string.
//  - before an image is loaded the current size is 0 x 0; after, it lies
//    between 1 x 1 and the loaded size;
//  - the read-outs show the edit state's numbers;
//  - the preview fits the 400-pixel box and never exceeds the preview
//    rule's size for the current image;
//  - an action that showed a message left the image, the preview and the
//    read-outs as they were.
[[nodiscard]] QString checkInvariants(const Form1 &window, const QJsonObject &before,
                                      const QJsonObject &after, bool showedMessage);

} // namespace pv
