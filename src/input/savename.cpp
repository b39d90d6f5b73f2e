#include "input/savename.h"

namespace pv {

QString proposeSaveName(const QString &fileName, const QString &extension)
{
    if (fileName.isEmpty() || fileName.endsWith(extension, Qt::CaseInsensitive))
        return fileName;
    const qsizetype slash = std::max(fileName.lastIndexOf(u'/'), fileName.lastIndexOf(u'\\'));
    const qsizetype dot = fileName.lastIndexOf(u'.');
    // A leading dot names a hidden file; it does not start an extension.
    if (dot <= slash + 1)
        return fileName + u'.' + extension;
    return fileName.left(dot + 1) + extension;
}

} // namespace pv
