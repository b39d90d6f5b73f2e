#pragma once
// Every fixed text the program shows in a message box, and the box's icon.

#include <QString>

namespace pv {

// Icon values as message-box style numbers.
enum class Icon { Critical = 16, Question = 32, Exclamation = 48, Information = 64 };

struct Message {
    QString text;
    QString title;
    Icon icon = Icon::Critical;
    friend bool operator==(const Message &, const Message &) = default;
};

namespace texts {
inline const QString errorTitle = QStringLiteral("Error");
inline const QString confirmTitle = QStringLiteral("確認");
inline const QString loadFirst = QStringLiteral("画像ファイルを読み込んでください。");
inline const QString enterNumber = QStringLiteral("数値を入力してください。");
inline const QString sameSize = QStringLiteral("サイズが同じですよ～。");
inline const QString zeroOrLess = QStringLiteral("０以下は指定できません。");
inline const QString shrinkOnly = QStringLiteral("縮小しかできません・・・。m(_ _)m");
inline const QString checkUpDown = QStringLiteral("削除箇所、上と下どちらか一箇所はチェックしてください。");
inline const QString checkLeftRight = QStringLiteral("削除箇所、左と右どちらか一箇所はチェックしてください。");
inline const QString noEdgeChecked = QStringLiteral("削除箇所がひとつも指定されていません。");
inline const QString sizeNotPositive = QStringLiteral("サイズが０以下になるので実行できませんでした。");
inline const QString cannotRead = QStringLiteral("このファイルは読み込めません。");
inline const QString overwrite = QStringLiteral("既に同じ名前のファイルが存在します。上書きしますか？");
inline const QString openFilter = QStringLiteral("画像ファイル(*.bmp; *.jpg; *.gif)| *.bmp; *.jpg; *.jpeg; *.gif");
inline const QString saveFilter = QStringLiteral("画像ファイル(*.bmp;)| *.bmp");
} // namespace texts

[[nodiscard]] inline Message errorMessage(const QString &text, Icon icon)
{
    return {text, texts::errorTitle, icon};
}

// Why an edit was refused, beside the message the user is shown: callers
// decide by the code, never by the message's words.
struct Refusal {
    enum class Code {
        NotLoaded,     // no picture loaded
        NotANumber,    // a field blank or not plain digits
        SameSize,      // the size asked for is the current one
        NotPositive,   // a number of 0 or less
        NotSmaller,    // a size larger than the current one
        NoUpOrDown,    // a shrink with neither top nor bottom checked
        NoLeftOrRight, // a shrink with neither left nor right checked
        NoEdge,        // a trim with no edge checked
        NothingLeft,   // the cut would leave no pixel
        NoMemory,      // the memory for the result cannot be had
    };
    Code code;
    Message message;
};

[[nodiscard]] inline Refusal refusal(Refusal::Code code, const QString &text, Icon icon)
{
    return {code, errorMessage(text, icon)};
}

} // namespace pv
