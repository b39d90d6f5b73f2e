#include "batch/inputs.h"

#include "batch/folders.h"
#include "files/imagewrite.h"
#include "input/filenames.h"
#include "input/savename.h"

#include <QDir>
#include <QHash>
#include <QSet>

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace pv::batch {

namespace {

// At most this much memory is given to the lists of inputs, each name
// counted with what holding it costs besides its bytes: a list without end
// (`yes |`) is refused instead of taking all memory.
constexpr qint64 kMaxListBytes = qint64(256) << 20;
constexpr qint64 kCostPerName = 128;

// Adds a folder's pictures, sorted by name, under `relative` in the output.
// A subfolder that is the output folder is left out: a rerun would take the
// results for pictures.
void addFolder(const QString &folder, const QString &relative, bool recursive, const QString &outputFolder,
               std::vector<std::pair<QString, QString>> &found)
{
    const Listing listing = listFolder(folder);
    for (const QString &name : listing.files)
        if (hasPictureName(name))
            found.emplace_back(folder + u'/' + name, relative);
    if (!recursive)
        return;
    // Links to folders are not followed: they could lead round in a circle.
    for (const QString &name : listing.folders) {
        const QString sub = folder + u'/' + name;
        if (outputFolder.isEmpty() || resolved(sub) != outputFolder)
            addFolder(sub, relative.isEmpty() ? name : relative + u'/' + name, true, outputFolder, found);
    }
}

// The inputs listed in a files-from list: one a line, or NUL-separated.
Attempt<void> readList(const QString &path, bool nul, QStringList &out, qint64 &budget)
{
    const int fd = path == u"-" ? STDIN_FILENO : ::open(bytesOfName(path).constData(), O_RDONLY | O_CLOEXEC);
    auto refuse = [&](const QString &why) {
        if (fd != STDIN_FILENO && fd >= 0)
            ::close(fd);
        return failure(QStringLiteral("--files-from: %1").arg(why));
    };
    if (fd < 0)
        return refuse(QStringLiteral("cannot read '%1': %2").arg(shownName(path), QString::fromLocal8Bit(std::strerror(errno))));
    const char separator = nul ? '\0' : '\n';
    QByteArray name;
    auto take = [&] {
        if (!nul && name.endsWith('\r'))
            name.chop(1);
        if (!name.isEmpty()) {
            out << nameFromBytes(name);
            budget -= name.size() + kCostPerName;
        }
        name.clear();
    };
    char buffer[1 << 16];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return refuse(QStringLiteral("cannot read '%1': %2").arg(shownName(path), QString::fromLocal8Bit(std::strerror(errno))));
        if (n == 0)
            break;
        for (const char *at = buffer, *end = buffer + n; at < end;) {
            const char *stop = static_cast<const char *>(std::memchr(at, separator, size_t(end - at)));
            name.append(at, (stop ? stop : end) - at);
            if (name.size() >= PATH_MAX)
                return refuse(QStringLiteral("a name is longer than the system allows (%1 bytes)").arg(PATH_MAX - 1));
            if (!stop)
                break;
            take();
            at = stop + 1;
        }
        if (budget < 0)
            return refuse(QStringLiteral("the lists of inputs are longer than %1 MiB").arg(kMaxListBytes >> 20));
    }
    take();
    if (fd != STDIN_FILENO)
        ::close(fd);
    return {};
}

// Where the files go: one folder a --save, or the output folder itself.
// Each with the number of the step that writes it.
std::vector<std::pair<Save, size_t>> placesOf(const Options &o)
{
    std::vector<std::pair<Save, size_t>> places;
    for (size_t i = 0; i < o.steps.size(); ++i)
        if (const Save *save = o.steps[i].save())
            places.emplace_back(*save, i);
    if (places.empty())
        places.emplace_back(Save{QString(), o.output}, o.steps.size());
    return places;
}

// The file that step `step`, saving into `place`, writes of the input
// `fileName` found `relative` below its input folder.
Target targetIn(const Save &place, size_t step, const QString &outputDir, const QString &fileName,
                const QString &relative)
{
    const QString extension = extensionOf(place.output.format);
    const QString name = place.output.name.isEmpty() ? proposeSaveName(fileName, extension)
                                                     : templatedName(place.output.name, fileName, extension);
    const QString folder = place.folder.isEmpty() ? outputDir : outputDir + u'/' + place.folder;
    const QString path = QDir::cleanPath(folder + u'/' + (relative.isEmpty() ? name : relative + u'/' + name));
    QStringList parts{place.folder, relative, name};
    parts.removeAll(QString());
    return {path, place.output, QDir::cleanPath(parts.join(u'/')), step};
}

} // namespace

QString Target::pathFor(QSize size, const QString &input) const
{
    if (!namesBySize(output.name))
        return path;
    const QString fileName = input.mid(input.lastIndexOf(u'/') + 1);
    return path.left(path.lastIndexOf(u'/') + 1) + templatedName(output.name, fileName, extensionOf(output.format), size);
}

bool hasPictureName(const QString &fileName)
{
    static const QStringList extensions = pictureExtensions();
    for (const QString &e : extensions)
        if (fileName.endsWith(e, Qt::CaseInsensitive) && fileName.size() > e.size())
            return true;
    return false;
}

Attempt<std::vector<Item>> listItems(const Options &o, bool foldCase)
{
    std::vector<Item> items;
    QStringList inputs = o.inputs;
    qint64 budget = kMaxListBytes;
    for (const QString &list : o.filesFrom)
        if (const Attempt<void> read = readList(list, o.nulSeparated, inputs, budget); !read)
            return failure(read.reason());

    // Each input path with the subfolder of the output it goes to.
    std::vector<std::pair<QString, QString>> found;
    const QString outputFolder = resolved(o.outputDir);
    for (const QString &input : inputs) {
        if (kindOf(input) == Kind::Folder)
            addFolder(input, QString(), o.recursive, outputFolder, found);
        else
            found.emplace_back(input, QString());
    }

    QSet<Identity> inputIdentities;
    for (const auto &[input, relative] : found)
        if (const auto id = identityOf(input))
            inputIdentities.insert(*id);

    const std::vector<std::pair<Save, size_t>> places = placesOf(o);
    QHash<QString, QString> firstWriter; // output -> the input that writes it
    for (const auto &[input, relative] : found) {
        Item item;
        item.input = input;
        const QString fileName = input.mid(input.lastIndexOf(u'/') + 1);
        QStringList keys;
        for (const auto &[place, step] : places) {
            item.targets.push_back(targetIn(place, step, o.outputDir, fileName, relative));
            const QString &path = item.targets.back().path;
            QString key = QDir::cleanPath(QDir::current().absoluteFilePath(path));
            keys << (foldCase ? key.toCaseFolded() : key);
            if (!item.refusal.isEmpty())
                continue;
            if (const auto id = identityOf(path); id && inputIdentities.contains(*id))
                item.refusal = QStringLiteral("the output is an input, which is never written over");
            // Saves naming by size are told apart when their sizes are known.
            else if (firstWriter.contains(keys.back()) || (keys.count(keys.back()) > 1 && !namesBySize(place.output.name)))
                item.refusal = QStringLiteral("the output is already written from %1")
                                   .arg(shownName(firstWriter.value(keys.back(), input)));
        }
        if (item.refusal.isEmpty())
            for (const QString &key : keys)
                firstWriter.insert(key, input);
        items.push_back(item);
    }
    return items;
}

} // namespace pv::batch
