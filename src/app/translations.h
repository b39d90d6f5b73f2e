#pragma once

class QCoreApplication;

namespace pv {

// Makes what Qt draws itself (the standard buttons of message boxes, the
// file dialogs) Japanese, as the window is, whatever the system's locale:
// installs Qt's own Japanese translations and makes Japanese the default
// locale. False when the translations are not installed.
bool useJapaneseQtTexts(QCoreApplication &app);

} // namespace pv
