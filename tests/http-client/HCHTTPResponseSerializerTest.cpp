// The response serializers: the validation and outcome table, body decoding
// and parsing, null stripping, archives and copies, and the error chain.

#include "HCHTTPResponseSerializer.h"

#include "HCJSONResponseSerializer.h"
#include "ValueDescription.h"

#include <QCborArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QStringEncoder>
#include <functional>
#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

// Readable values in failure messages.
void PrintTo(const QVariant &value, std::ostream *out)
{
    *out << value.metaType().name() << ' ' << zek::description(value).toStdString();
}

namespace {

const QUrl kURL(u"http://127.0.0.1:5004/api/laser/json/print/pdf"_s);

HCHTTPURLResponse reply(qint64 statusCode, const QString &contentType, const QUrl &URL = kURL)
{
    QList<std::pair<QString, QString>> fields{{u"Server"_s, u"device"_s}};
    if (!contentType.isNull()) {
        fields.append({u"content-type"_s, contentType});
    }
    return HCHTTPURLResponse(URL, statusCode, fields);
}

// What the platform's parser makes of the text, for expected values.
QVariant json(const char *text)
{
    return QJsonDocument::fromJson(QByteArray("[") + text + "]").array().first().toVariant();
}

// Codes from the error down through its underlying errors, each of which `check` sees.
QList<qint64> chainOf(std::optional<zek::Error> error,
                      const std::function<void(const zek::Error &)> &check = {})
{
    QList<qint64> codes;
    while (error) {
        codes.append(error->code());
        if (check) {
            check(*error);
        }
        const QVariant underlying = error->userInfo().value(zek::NSUnderlyingErrorKey);
        error = underlying.isValid() ? std::optional(underlying.value<zek::Error>()) : std::nullopt;
    }
    return codes;
}

QString descriptionOf(const std::optional<zek::Error> &error)
{
    return error ? error->userInfo().value(zek::NSLocalizedDescriptionKey).toString() : QString();
}

const zek::Error kSentinel(u"sentinel"_s, 99);
const QByteArray kJSONBody = R"({"status":"ok","n":1})";

TEST(HCHTTPResponseSerializerTest, ValidationAndOutcomes)
{
    enum Setup { JSON, JSONWithoutErrorSlot, NoStatusTest, NoTypeTest, With404, Base };
    struct Row {
        const char *name;
        Setup setup = JSON;
        std::optional<HCHTTPURLResponse> response;
        std::optional<QByteArray> data = kJSONBody; // the body of the reply
        bool valid = false;                         // whether validation accepts the response
        QVariant object = {};
        QList<qint64> chain = {};
    };
    const QString js = u"application/json"_s, html = u"text/html"_s, plain = u"text/plain"_s;
    const QString jsWithCharset = u"Text/JavaScript ; charset=UTF-8"_s;
    const HCHTTPURLResponse file =
        HCHTTPURLResponse::nonHTTPResponse(QUrl(u"file:///r.txt"_s), plain, {});
    const QByteArray broken = R"({"status":)";
    const QByteArray tag = "<p>";
    const QVariant parsed = json(kJSONBody);
    constexpr qint64 kStatus = zek::NSURLErrorBadServerResponse;
    constexpr qint64 kType = zek::NSURLErrorCannotDecodeContentData;
    constexpr qint64 kParser = zek::NSPropertyListReadCorruptError;

    const Row rows[] = {
        {.name = "2xx JSON", .response = reply(200, js), .valid = true, .object = parsed},
        {.name = "2xx invalid JSON",
         .response = reply(201, js),
         .data = broken,
         .valid = true,
         .chain = {kParser}},
        {.name = "5xx JSON is parsed and fails",
         .response = reply(500, js),
         .object = parsed,
         .chain = {kStatus}},
        {.name = "5xx invalid JSON",
         .response = reply(503, js),
         .data = broken,
         .chain = {kParser, kStatus}},
        {.name = "2xx other type", .response = reply(200, plain), .chain = {kType}},
        {.name = "4xx other type",
         .response = reply(404, html),
         .data = tag,
         .chain = {kStatus, kType}},
        {.name = "2xx other type, empty body", .response = reply(200, html), .data = ""},
        {.name = "2xx no type, no body", .response = reply(204, {}), .data = std::nullopt},
        {.name = "2xx one space", .response = reply(200, js), .data = " ", .valid = true},
        {.name = "4xx JSON, empty body",
         .response = reply(404, js),
         .data = "",
         .chain = {kStatus}},
        {.name = "type with parameters",
         .response = reply(299, jsWithCharset),
         .valid = true,
         .object = parsed},
        {.name = "6xx", .response = reply(600, js), .object = parsed, .chain = {kStatus}},
        {.name = "no status test",
         .setup = NoStatusTest,
         .response = reply(500, js),
         .valid = true,
         .object = parsed},
        {.name = "no type test",
         .setup = NoTypeTest,
         .response = reply(200, plain),
         .valid = true,
         .object = parsed},
        {.name = "added status code",
         .setup = With404,
         .response = reply(404, js),
         .valid = true,
         .object = parsed},
        {.name = "other protocol", .response = file, .valid = true, .object = parsed},
        {.name = "no response", .response = std::nullopt, .valid = true, .object = parsed},
        // Without a URL the status goes untested and a refused type makes no
        // error, so the body is parsed.
        {.name = "no URL", .response = reply(404, plain, QUrl()), .object = parsed},
        {.name = "refused type, no slot",
         .setup = JSONWithoutErrorSlot,
         .response = reply(200, plain)},
        {.name = "refused status, no slot",
         .setup = JSONWithoutErrorSlot,
         .response = reply(500, js)},
        {.name = "base returns the body",
         .setup = Base,
         .response = reply(404, html),
         .data = tag,
         .object = tag,
         .chain = {kStatus}},
        {.name = "base without body",
         .setup = Base,
         .response = reply(200, js),
         .data = std::nullopt,
         .valid = true},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const auto serializer = row.setup == Base ? HCHTTPResponseSerializer::serializer()
                                                  : HCJSONResponseSerializer::serializer();
        if (row.setup == NoStatusTest) {
            serializer->setAcceptableStatusCodes(std::nullopt);
        } else if (row.setup == NoTypeTest) {
            serializer->setAcceptableContentTypes(std::nullopt);
        } else if (row.setup == With404) {
            zek::IndexSet codes = *serializer->acceptableStatusCodes();
            codes.addIndex(404);
            serializer->setAcceptableStatusCodes(codes);
        }

        std::optional<zek::Error> validation = kSentinel;
        EXPECT_EQ(serializer->validateResponse(row.response, row.data, &validation), row.valid);
        EXPECT_EQ(validation == kSentinel, row.valid) << "the slot is written only on refusal";

        std::optional<zek::Error> error;
        const QVariant result = serializer->responseObjectForResponse(
            row.response, row.data, row.setup == JSONWithoutErrorSlot ? nullptr : &error);
        EXPECT_EQ(result, row.object);
        // Serializer errors name the response and its data; the parser's are its own.
        const auto check = [&](const zek::Error &e) {
            const QVariantMap &info = e.userInfo();
            if (e.code() == kParser) {
                EXPECT_EQ(e.domain(), zek::NSCocoaErrorDomain);
                return;
            }
            EXPECT_EQ(e.domain(), HCURLResponseSerializationErrorDomain);
            EXPECT_EQ(info.value(zek::NSURLErrorFailingURLErrorKey).toUrl(), kURL);
            EXPECT_EQ(info.value(HCOperationFailingURLResponseErrorKey).value<HCHTTPURLResponse>(),
                      *row.response);
            EXPECT_EQ(info.value(HCOperationFailingURLResponseDataErrorKey),
                      row.data ? QVariant(*row.data) : QVariant());
        };
        EXPECT_EQ(chainOf(error, check), row.chain);
    }

    const std::pair<HCHTTPURLResponse, QString> messages[] = {
        {reply(500, js), u"Request failed: internal server error (500)"_s},
        {reply(404, html), u"Request failed: not found (404)"_s},
        {reply(600, js), u"Request failed: unknown (600)"_s},
        {reply(200, plain), u"Request failed: unacceptable content-type: text/plain"_s},
    };
    for (const auto &[response, message] : messages) {
        std::optional<zek::Error> error;
        HCJSONResponseSerializer().validateResponse(response, QByteArray("x"), &error);
        EXPECT_EQ(descriptionOf(error), message);
    }
}

TEST(HCHTTPResponseSerializerTest, BodyDecodingAndParsing)
{
    struct Row {
        const char *name;
        QString charset = {};
        QByteArray body;
        QVariant object = {};
        QList<qint64> chain = {};
        zek::NSStringEncoding stringEncoding = zek::NSUTF8StringEncoding;
        zek::NSJSONReadingOptions readingOptions = 0;
        bool removesNulls = false;
    };
    const QByteArray utf16BE = QStringEncoder(QStringConverter::Utf16BE).encode(uR"({"a":"€"})"_s);
    const QVariant euro = QVariantMap{{u"a"_s, u"€"_s}};
    const QVariant eAcute = QVariantMap{{u"a"_s, u"é"_s}};
    const QByteArray latin1 = "{\"a\":\"\xe9\"}";
    const QByteArray utf8 = "{\"a\":\"\xc3\xa9\"}";
    constexpr qint64 kParser = zek::NSPropertyListReadCorruptError;
    constexpr qint64 kRecode = zek::NSURLErrorCannotDecodeContentData;
    constexpr auto Latin1 = zek::NSISOLatin1StringEncoding;
    constexpr auto fragments = zek::NSJSONReadingFragmentsAllowed;
    constexpr auto mutableContainers = zek::NSJSONReadingMutableContainers;
    const QByteArray nested = R"({"a":null,"b":[null,{"c":null}]})";
    const QVariant stripped = json(R"({"b":[null,{}]})");
    const QByteArray deep = R"([{"a":{"b":{"c":null,"d":false}},"e":""},null])";
    const QVariant deepStripped = json(R"([{"a":{"b":{"d":false}},"e":""},null])");
    const QVariant null = QVariant::fromValue(nullptr);

    const Row rows[] = {
        {.name = "Latin-1", .charset = u"ISO-8859-1"_s, .body = latin1, .object = eAcute},
        {.name = "alias, quoted", .charset = u"\"latin1\""_s, .body = latin1, .object = eAcute},
        {.name = "Windows-1252",
         .charset = u"windows-1252"_s,
         .body = "{\"a\":\"\x80\"}",
         .object = euro},
        {.name = "UTF-16BE", .charset = u"UTF-16BE"_s, .body = utf16BE, .object = euro},
        {.name = "unknown name, UTF-8", .charset = u"x-zek"_s, .body = utf8, .object = eAcute},
        {.name = "unknown name, Latin-1",
         .charset = u"x-zek"_s,
         .body = latin1,
         .object = eAcute,
         .stringEncoding = Latin1},
        {.name = "charset beats stringEncoding",
         .charset = u"utf-8"_s,
         .body = utf8,
         .object = eAcute,
         .stringEncoding = Latin1},
        {.name = "malformed UTF-8", .body = "{\"a\":\"\xff\"}"},
        {.name = "not ASCII", .body = utf8, .stringEncoding = zek::NSASCIIStringEncoding},
        // UTF-7 can spell half a surrogate pair, which UTF-8 cannot.
        {.name = "no UTF-8 form", .charset = u"UTF-7"_s, .body = "+2AA-", .chain = {kRecode}},
        {.name = "fragment refused", .body = "\"x\"", .chain = {kParser}},
        {.name = "fragment allowed",
         .body = "\"x\"",
         .object = u"x"_s,
         .readingOptions = fragments},
        {.name = "null fragment", .body = " null ", .object = null, .readingOptions = fragments},
        {.name = "two fragments", .body = "1,2", .chain = {kParser}, .readingOptions = fragments},
        {.name = "blank fragment", .body = "\t", .chain = {kParser}, .readingOptions = fragments},
        {.name = "trailing garbage",
         .body = "[1]]",
         .chain = {kParser},
         .readingOptions = fragments},
        {.name = "raw line break in a string", .body = "{\"a\n\":1}", .chain = {kParser}},
        {.name = "escaped line break", .body = "{\"a\\n\":1}", .object = json(R"({"a\n":1})")},
        {.name = "unknown escape", .body = "[\"\\X\"]", .chain = {kParser}},
        {.name = "nulls kept", .body = nested, .object = json(nested)},
        {.name = "nulls removed", .body = nested, .object = stripped, .removesNulls = true},
        {.name = "nulls removed, mutable",
         .body = nested,
         .object = stripped,
         .readingOptions = mutableContainers,
         .removesNulls = true},
        {.name = "nulls removed, deep", .body = deep, .object = deepStripped, .removesNulls = true},
        {.name = "null fragment stays",
         .body = "null",
         .object = null,
         .readingOptions = fragments,
         .removesNulls = true},
        {.name = "string fragment stays",
         .body = "\"x\"",
         .object = u"x"_s,
         .readingOptions = fragments,
         .removesNulls = true},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const auto serializer =
            HCJSONResponseSerializer::serializerWithReadingOptions(row.readingOptions);
        serializer->setStringEncoding(row.stringEncoding);
        serializer->setRemovesKeysWithNullValues(row.removesNulls);
        QString contentType = u"application/json"_s;
        if (!row.charset.isNull()) {
            contentType += u"; charset="_s + row.charset;
        }
        std::optional<zek::Error> error;
        EXPECT_EQ(serializer->responseObjectForResponse(reply(200, contentType), row.body, &error),
                  row.object);
        EXPECT_EQ(chainOf(error), row.chain);
        if (row.chain == QList<qint64>{kRecode}) {
            EXPECT_EQ(descriptionOf(error), u"Data failed decoding as a UTF-8 string"_s);
            EXPECT_EQ(error->userInfo().value(zek::NSLocalizedFailureReasonErrorKey).toString(),
                      u"Could not decode string: "_s + QChar(0xd800));
        }
    }
}

TEST(HCHTTPResponseSerializerTest, NullStrippingOfValuesBuiltInCode)
{
    // A missing value counts as null; a null string does not.
    const QVariantMap built{{u"gone"_s, QVariant()}, {u"kept"_s, QString()}};
    EXPECT_EQ(HCJSONObjectByRemovingKeysWithNullValues(built, 0),
              QVariant(QVariantMap{{u"kept"_s, QString()}}));
}

TEST(HCHTTPResponseSerializerTest, ArchivesAndCopies)
{
    struct State {
        bool json;
        std::optional<zek::IndexSet> codes = {};
        std::optional<QSet<QString>> types = {};
        zek::NSJSONReadingOptions readingOptions = 0;
        bool removes = false;
        bool operator==(const State &) const = default;
    };
    const auto stateOf = [](const HCHTTPResponseSerializer &s) {
        const auto *json = dynamic_cast<const HCJSONResponseSerializer *>(&s);
        return State{json != nullptr, s.acceptableStatusCodes(), s.acceptableContentTypes(),
                     json ? json->readingOptions() : 0, json && json->removesKeysWithNullValues()};
    };
    const zek::IndexSet success = zek::IndexSet::indexSetWithIndexesInRange({200, 100});
    zek::IndexSet custom = success;
    custom.addIndex(404);
    custom.addIndexesInRange({300, 5}); // touches 200 to 299
    const QSet<QString> JSONTypes{u"application/json"_s, u"text/json"_s, u"text/javascript"_s};
    const QSet<QString> pdf{u"application/pdf"_s};
    const QCborValue codes(u"acceptableStatusCodes"_s), types(u"acceptableContentTypes"_s);
    const QCborArray ok{QCborArray{200, 100}}, pdfs{u"application/pdf"_s};
    const QCborArray okAnd404{QCborArray{200, 105}, QCborArray{404, 1}};
    const QCborMap JSONDefaults{
        {codes, ok},
        {types, QCborArray{u"application/json"_s, u"text/javascript"_s, u"text/json"_s}},
        {u"readingOptions"_s, 0},
        {u"removesKeysWithNullValues"_s, false}};
    const QCborMap JSONChanged{
        {types, pdfs}, {u"readingOptions"_s, 5}, {u"removesKeysWithNullValues"_s, true}};
    const State JSONCopy{
        .json = true, .codes = success, .types = JSONTypes, .readingOptions = 5, .removes = true};

    struct Row {
        const char *name;
        bool defaults = false; // made fresh, so `made` states its defaults
        State made;            // its class; its settings too unless `defaults`
        QCborMap archive = {};
        std::optional<State> copied = std::nullopt; // else as made
    };
    const Row rows[] = {
        {.name = "base defaults",
         .defaults = true,
         .made = {.json = false, .codes = success},
         .archive = {{codes, ok}}},
        {.name = "base, tests changed",
         .made = {.json = false, .codes = custom, .types = pdf},
         .archive = {{codes, okAnd404}, {types, pdfs}}},
        {.name = "base, tests off", .made = {.json = false}},
        {.name = "JSON defaults",
         .defaults = true,
         .made = {.json = true, .codes = success, .types = JSONTypes},
         .archive = JSONDefaults},
        // A JSON copy keeps its options but not its tests.
        {.name = "JSON, all changed",
         .made = {.json = true, .types = pdf, .readingOptions = 5, .removes = true},
         .archive = JSONChanged,
         .copied = JSONCopy},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const auto json = HCJSONResponseSerializer::serializer();
        const auto serializer = row.made.json ? json : HCHTTPResponseSerializer::serializer();
        if (!row.defaults) {
            json->setReadingOptions(row.made.readingOptions);
            json->setRemovesKeysWithNullValues(row.made.removes);
            serializer->setAcceptableStatusCodes(row.made.codes);
            serializer->setAcceptableContentTypes(row.made.types);
            serializer->setStringEncoding(zek::NSISOLatin1StringEncoding);
        }
        QCborMap archive;
        serializer->encodeWithCoder(archive);
        EXPECT_EQ(archive, row.archive);

        const auto decoded = row.made.json ? std::make_shared<HCJSONResponseSerializer>(archive)
                                           : std::make_shared<HCHTTPResponseSerializer>(archive);
        const auto copy = serializer->copy();
        EXPECT_TRUE(stateOf(*decoded) == row.made);
        EXPECT_TRUE(stateOf(*copy) == row.copied.value_or(row.made));
        EXPECT_EQ(decoded->stringEncoding(), zek::NSUTF8StringEncoding) << "never archived";
        EXPECT_EQ(copy->stringEncoding(), zek::NSUTF8StringEncoding) << "never copied";
    }

    // Missing keys switch tests off; a malformed value does the same.
    const QCborMap malformed{{u"acceptableStatusCodes"_s, QCborArray{QCborArray{-1, 2}}},
                             {u"acceptableContentTypes"_s, QCborArray{1}},
                             {u"readingOptions"_s, u"4"_s}};
    EXPECT_TRUE(stateOf(HCJSONResponseSerializer(malformed)) == (State{.json = true}));
}

TEST(HCHTTPResponseSerializerTest, ErrorChains)
{
    const QString domain = HCURLResponseSerializationErrorDomain;
    const zek::Error type(domain, zek::NSURLErrorCannotDecodeContentData);
    const zek::Error status(domain, zek::NSURLErrorBadServerResponse);
    const zek::Error parser(zek::NSCocoaErrorDomain, zek::NSPropertyListReadCorruptError);
    const auto over = [](zek::Error error, const QVariant &underlying) {
        QVariantMap info = error.userInfo();
        info.insert(zek::NSUnderlyingErrorKey, underlying);
        return zek::Error(error.domain(), error.code(), info);
    };
    const zek::Error statusOverType = over(status, QVariant::fromValue(type));

    using Maybe = std::optional<zek::Error>;
    const std::tuple<Maybe, Maybe, Maybe> chaining[] = {
        {std::nullopt, std::nullopt, std::nullopt},
        {std::nullopt, type, type},
        {status, std::nullopt, status},
        {status, type, statusOverType},
        {statusOverType, parser, statusOverType},
    };
    for (const auto &[error, underlying, expected] : chaining) {
        EXPECT_EQ(HCErrorWithUnderlyingError(error, underlying), expected);
    }

    // Searches for the type error's code.
    const std::tuple<std::optional<zek::Error>, QString, bool> searches[] = {
        {std::nullopt, domain, false},
        {type, domain, true},
        {type, u"elsewhere"_s, false},
        {status, domain, false},
        {statusOverType, domain, true},
        {over(parser, QVariant::fromValue(statusOverType)), domain, true},
        {over(status, u"not an error"_s), domain, false},
    };
    for (const auto &[error, inDomain, found] : searches) {
        EXPECT_EQ(HCErrorOrUnderlyingErrorHasCodeInDomain(error, type.code(), inDomain), found);
    }
}

} // namespace
