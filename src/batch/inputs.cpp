#include "batch/inputs.h"

#include "files/imagewrite.h"
#include "input/savename.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>

#include <cstdio>
#include <sys/stat.h>

namespace pv::batch {

namespace {

// Adds a folder's pictures, sorted by name, under `relative` in the output.
// A subfolder that is the output folder is left out: a rerun would take the
// results for pictures.
void addFolder(const QString &folder, const QString &relative, bool recursive, const QString &outputFolder,
               std::vector<std::pair<QString, QString>> &found)
{
    const QDir dir(folder);
    const QFileInfoList files = dir.entryInfoList(QDir::Files, QDir::Name);
    for (const QFileInfo &f : files)
        if (hasPictureName(f.fileName()))
            found.emplace_back(f.filePath(), relative);
    if (!recursive)
        return;
    // Links to folders are not followed: they could lead round in a circle.
    const QFileInfoList subfolders = dir.entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks, QDir::Name);
    for (const QFileInfo &sub : subfolders)
        if (outputFolder.isEmpty() || sub.canonicalFilePath() != outputFolder)
            addFolder(sub.filePath(), relative.isEmpty() ? sub.fileName() : relative + u'/' + sub.fileName(), true,
                  outputFolder, found);
}

// The inputs listed in a files-from list: one a line, or NUL-separated.
Attempt<void> readList(const QString &path, bool nul, QStringList &out)
{
    QFile list;
    const bool opened = path == u"-" ? list.open(stdin, QIODevice::ReadOnly) : (list.setFileName(path), list.open(QIODevice::ReadOnly));
    if (!opened)
        return failure(QStringLiteral("--files-from: cannot read '%1': %2").arg(path, list.errorString()));
    const QByteArray all = list.readAll();
    for (const QByteArray &entry : all.split(nul ? '\0' : '\n')) {
        QByteArray name = entry;
        if (!nul && name.endsWith('\r'))
            name.chop(1);
        if (!name.isEmpty())
            out << QFile::decodeName(name);
    }
    return {};
}

// A file's identity, however it is named.
struct Identity {
    dev_t device;
    ino_t inode;
    friend bool operator==(const Identity &, const Identity &) = default;
};
size_t qHash(const Identity &id, size_t seed = 0) { return ::qHash(quint64(id.inode), seed) ^ ::qHash(quint64(id.device), 0); }

std::optional<Identity> identityOf(const QString &path)
{
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return std::nullopt;
    return Identity{st.st_dev, st.st_ino};
}

} // namespace

bool hasPictureName(const QString &fileName)
{
    static const QStringList extensions{".bmp", ".jpg", ".jpeg", ".gif", ".png", ".tif", ".tiff", ".webp"};
    for (const QString &e : extensions)
        if (fileName.endsWith(e, Qt::CaseInsensitive) && fileName.size() > e.size())
            return true;
    return false;
}

Attempt<std::vector<Item>> listItems(const Options &o)
{
    std::vector<Item> items;
    QStringList inputs = o.inputs;
    for (const QString &list : o.filesFrom)
        if (const Attempt<void> read = readList(list, o.nulSeparated, inputs); !read)
            return failure(read.reason());

    // Each input path with the subfolder of the output it goes to.
    std::vector<std::pair<QString, QString>> found;
    const QString outputFolder = QFileInfo(o.outputDir).canonicalFilePath();
    for (const QString &input : inputs) {
        if (QFileInfo(input).isDir())
            addFolder(input, QString(), o.recursive, outputFolder, found);
        else
            found.emplace_back(input, QString());
    }

    QSet<Identity> inputIdentities;
    for (const auto &[input, relative] : found)
        if (const auto id = identityOf(input))
            inputIdentities.insert(*id);

    const QString extension = extensionOf(o.format);
    QHash<QString, QString> firstWriter; // output -> the input that writes it
    for (const auto &[input, relative] : found) {
        Item item;
        item.input = input;
        const QString name = proposeSaveName(QFileInfo(input).fileName(), extension);
        item.output = QDir::cleanPath(o.outputDir + u'/' + (relative.isEmpty() ? name : relative + u'/' + name));
        const QString key = QFileInfo(item.output).absoluteFilePath();
        if (const auto id = identityOf(item.output); id && inputIdentities.contains(*id))
            item.refusal = QStringLiteral("the output is an input, which is never written over");
        else if (firstWriter.contains(key))
            item.refusal = QStringLiteral("the output is already written from %1").arg(firstWriter.value(key));
        else
            firstWriter.insert(key, input);
        items.push_back(item);
    }
    return items;
}

} // namespace pv::batch
