// The job file name that a title and a job identifier become. Both come from
// whatever printed the job: bytes that may or may not be UTF-8, and (from a
// caller holding UTF-16 text) code units that may not pair up.

#include "FuzzCheck.h"
#include "Title.h"

#include <QString>
#include <fuzzer/FuzzedDataProvider.h>

namespace {

// The longest name a file may have on Linux, in bytes.
constexpr qsizetype kNameMax = 255;

QString textFrom(FuzzedDataProvider &data, bool asUTF16, std::size_t maxBytes)
{
    const std::string bytes = data.ConsumeRandomLengthString(maxBytes);
    if (asUTF16) {
        return QString(reinterpret_cast<const QChar *>(bytes.data()),
                       static_cast<qsizetype>(bytes.size() / 2));
    }
    return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

bool hasUnpairedSurrogate(const QString &text)
{
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text.at(i).isHighSurrogate() && i + 1 < text.size() &&
            text.at(i + 1).isLowSurrogate()) {
            ++i;
        } else if (text.at(i).isSurrogate()) {
            return true;
        }
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    FuzzedDataProvider data(bytes, size);
    const bool asUTF16 = data.ConsumeBool();
    const bool titleAbsent = data.ConsumeProbability<float>() < 0.05F;
    const QString identifier = textFrom(data, asUTF16, 512);
    const QString title = titleAbsent ? QString() : textFrom(data, asUTF16, 4096);

    const QString name = zek_prepare_title(title, identifier);

    ZEK_FUZZ_CHECK(name.startsWith(u"job_"), "the name begins with job_");
    ZEK_FUZZ_CHECK(!name.contains(u'/'), "no slash");
    ZEK_FUZZ_CHECK(!name.contains(QChar(u'\0')), "no NUL");
    ZEK_FUZZ_CHECK(!hasUnpairedSurrogate(name), "no half of a surrogate pair");
    const QByteArray onDisk = (name + QStringLiteral(".~pdf")).toUtf8();
    ZEK_FUZZ_CHECK(onDisk.size() <= kNameMax, "the unfinished job's name fits a file name");
    ZEK_FUZZ_CHECK(QString::fromUtf8(onDisk) == name + QStringLiteral(".~pdf"),
                   "the name survives UTF-8");
    return 0;
}
