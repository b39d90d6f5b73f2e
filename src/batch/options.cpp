#include "batch/options.h"

#include "batch/optionrules.h"
#include "files/metadata.h"
#include "surfaces/worksurfaces.h"

#include <QCoreApplication>

#include <algorithm>

namespace pv::batch {

namespace {

// Short options written together: "-rq" is "-r -q", "-j4" is "-j 4".
QStringList separateShortOptions(const QStringList &arguments)
{
    QStringList out;
    bool optionsEnded = false;
    for (const QString &arg : arguments) {
        if (optionsEnded || arg.size() <= 2 || arg[0] != u'-' || arg[1] == u'-') {
            optionsEnded = optionsEnded || arg == u"--";
            out << arg;
            continue;
        }
        for (qsizetype i = 1; i < arg.size(); ++i) {
            const QChar c = arg[i];
            out << QStringLiteral("-") + c;
            if (c == u'o' || c == u'j') {
                if (i + 1 < arg.size())
                    out << arg.mid(i + 1);
                break;
            }
        }
    }
    return out;
}

const EditDescription *editOption(const QString &name)
{
    for (const EditDescription &d : kEdits)
        if (name.size() == qsizetype(d.option.size()) + 2 && name.startsWith(u"--") &&
            name.mid(2) == QLatin1String(d.option.data(), qsizetype(d.option.size())))
            return &d;
    return nullptr;
}

const OptionRule *option(const QString &name)
{
    for (const OptionRule &rule : optionRules())
        if (name == rule.longName || (!rule.shortName.isEmpty() && name == rule.shortName))
            return &rule;
    return nullptr;
}

// Takes the option at arguments[i] and, unless given as --name=value, the
// value after it (moving i past it). --help and --version leave what to
// print in the command.
Attempt<void> takeOption(Command &command, const QStringList &arguments, qsizetype &i)
{
    const QString &arg = arguments[i];
    QString name = arg;
    std::optional<QString> value;
    if (const qsizetype eq = arg.indexOf(u'='); arg.startsWith(u"--") && eq > 0) {
        name = arg.left(eq);
        value = arg.mid(eq + 1);
    }
    const EditDescription *edit = editOption(name);
    const OptionRule *rule = edit ? nullptr : option(name);
    if (rule && !rule->apply) {
        command.print = name == u"--version"
                            ? QStringLiteral("pixelvane-batch ") + QCoreApplication::applicationVersion() + u'\n'
                            : helpText();
        return {};
    }
    if (!edit && !rule)
        return failure(QStringLiteral("unknown option '%1'").arg(name));
    if (rule && rule->valueName.isEmpty()) {
        if (value)
            return failure(name + QStringLiteral(" takes no value"));
    } else if (!value) {
        if (i + 1 >= arguments.size())
            return failure(name + QStringLiteral(" needs a value"));
        value = arguments[++i];
    }
    const QString v = value.value_or(QString());
    if (rule)
        return rule->apply(command.options, name, v);
    Attempt<Step> step = editStep(*edit, name, v);
    if (!step)
        return failure(step.reason());
    command.options.steps.push_back(std::move(step).value());
    return {};
}

// Every file written losslessly must be of a format that can be, and so
// on for the profile and the byte budget.
Attempt<void> checkOutputs(const Options &o, const std::vector<Output> &written)
{
    for (const Output &out : written) {
        if (out.lossless && !canBeLossless(out.format))
            return failure(QStringLiteral("--lossless: %1 is not written losslessly; webp and jxl are")
                               .arg(extensionOf(out.format)));
        // A BMP has nowhere to say its pixels are not sRGB.
        if ((o.keepMetadata & KeepProfile) && out.format == ImageFormat::Bmp)
            return failure(QStringLiteral("--keep-metadata: bmp keeps no profile; png, jpeg, webp, avif and jxl do"));
        if (out.maxBytes > 0 && (out.lossless || out.format == ImageFormat::Bmp || out.format == ImageFormat::Png))
            return failure(QStringLiteral("--max-size: %1 is not written at a quality; jpeg, webp, avif and jxl are")
                               .arg(out.lossless ? QStringLiteral("a lossless file") : extensionOf(out.format)));
    }
    return {};
}

// Two saves into one folder in one format would write the same files.
Attempt<void> saveGivenOnce(const Options &o)
{
    QStringList seen;
    for (const Step &step : o.steps) {
        const Save *save = step.save();
        // Names by size are told apart only once the sizes are known.
        if (!save || namesBySize(save->output.name))
            continue;
        const QString key = save->folder + u'\n' + extensionOf(save->output.format) + u'\n' + save->output.name;
        if (seen.contains(key))
            return failure(QStringLiteral("--save: '%1' is given twice for %2 files; the second would write the first's")
                               .arg(save->folder, extensionOf(save->output.format)));
        seen << key;
    }
    return {};
}

// Every pad's canvas gets the run's background; a transparent one only
// where every file written keeps alpha.
Attempt<void> settleBackground(Options &o, const std::vector<Output> &written)
{
    const QRgb background = o.background.value_or(kWorkBackground);
    for (const Output &out : written)
        if (qAlpha(background) == 0 &&
            (out.format == ImageFormat::Bmp || out.format == ImageFormat::Jpeg || out.format == ImageFormat::Jxl))
            return failure(QStringLiteral("--background transparent: %1 keeps no transparency; png, webp and avif do")
                               .arg(extensionOf(out.format)));
    for (Step &step : o.steps)
        if (auto *frame = std::get_if<FrameStep>(&step.kind))
            frame->background = background;
    return {};
}

// The checks of the whole line, once every option is read.
Attempt<void> checkWhole(Options &o)
{
    if (o.outputDir.isEmpty())
        return failure(QStringLiteral("no output folder: give one with -o OUTDIR"));
    std::vector<Output> written;
    for (const Step &step : o.steps)
        if (const Save *save = step.save())
            written.push_back(save->output);
    if (written.empty())
        written.push_back(o.output);
    for (const Attempt<void> &check : {checkOutputs(o, written), saveGivenOnce(o)})
        if (!check)
            return check;
    if (Attempt<void> settled = settleBackground(o, written); !settled)
        return settled;
    if (o.inputs.isEmpty() && o.filesFrom.isEmpty())
        return failure(QStringLiteral("no input: give picture files or folders, or --files-from"));
    return {};
}

} // namespace

QString templatedName(const QString &nameTemplate, const QString &inputFileName, const QString &extension, QSize size)
{
    // As the save rule takes the extension off: from the last dot, unless
    // that dot starts a hidden file's name.
    const qsizetype dot = inputFileName.lastIndexOf(u'.');
    const QString base = dot > 0 ? inputFileName.left(dot) : inputFileName;
    QString out;
    for (qsizetype i = 0; i < nameTemplate.size();) {
        const QStringView at = QStringView(nameTemplate).mid(i);
        if (at.startsWith(u"{name}"))
            out += base, i += 6;
        else if (at.startsWith(u"{w}") && size.isValid())
            out += QString::number(size.width()), i += 3;
        else if (at.startsWith(u"{h}") && size.isValid())
            out += QString::number(size.height()), i += 3;
        else
            out += nameTemplate[i++];
    }
    return out + u'.' + extension;
}

bool namesBySize(const QString &nameTemplate)
{
    return nameTemplate.contains(QStringLiteral("{w}")) || nameTemplate.contains(QStringLiteral("{h}"));
}

bool Options::saves() const
{
    return std::any_of(steps.begin(), steps.end(), [](const Step &s) { return s.save() != nullptr; });
}

void Step::typeInto(Fields &fields) const
{
    if (const auto *set = std::get_if<EdgesStep>(&kind))
        fields.edges = set->edges;
    if (const auto *margin = std::get_if<MarginStep>(&kind))
        fields.reSizeValue = margin->margin;
    const EditStep *e = edit();
    if (e && describe(e->kind).input == EditInput::Pixels)
        fields.dotDelValue = e->pixels;
    if (e && describe(e->kind).input == EditInput::Size) {
        fields.yoko = e->width;
        fields.tate = e->height;
    }
}

Attempt<Command> parseArguments(const QStringList &given)
{
    const QStringList arguments = separateShortOptions(given);
    Command command;
    bool optionsEnded = false;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString &arg = arguments[i];
        if (optionsEnded || arg == u"-" || !arg.startsWith(u'-')) {
            command.options.inputs << arg;
            continue;
        }
        if (arg == u"--") {
            optionsEnded = true;
            continue;
        }
        if (const Attempt<void> taken = takeOption(command, arguments, i); !taken)
            return failure(taken.reason());
        if (!command.print.isEmpty())
            return command;
    }
    if (const Attempt<void> whole = checkWhole(command.options); !whole)
        return failure(whole.reason());
    return command;
}

} // namespace pv::batch
