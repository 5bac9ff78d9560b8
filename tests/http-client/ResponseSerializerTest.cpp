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

TEST(ResponseSerializer, ValidationAndOutcomes)
{
    enum Setup { JSON, JSONWithoutErrorSlot, NoStatusTest, NoTypeTest, With404, Base };
    struct Row {
        const char *name;
        Setup setup;
        std::optional<HCHTTPURLResponse> response;
        std::optional<QByteArray> data;
        bool valid;
        QVariant object;
        QList<qint64> chain;
    };
    const QString js = u"application/json"_s, html = u"text/html"_s, plain = u"text/plain"_s;
    const QString jsWithCharset = u"Text/JavaScript ; charset=UTF-8"_s;
    const HCHTTPURLResponse file =
        HCHTTPURLResponse::nonHTTPResponse(QUrl(u"file:///r.txt"_s), plain, {});
    const QByteArray body = R"({"status":"ok","n":1})";
    const QByteArray broken = R"({"status":)";
    const QByteArray tag = "<p>";
    const QVariant parsed = json(body);
    const QVariant none;
    constexpr qint64 kStatus = zek::NSURLErrorBadServerResponse;
    constexpr qint64 kType = zek::NSURLErrorCannotDecodeContentData;
    constexpr qint64 kParser = zek::NSPropertyListReadCorruptError;

    const Row rows[] = {
        {"2xx JSON", JSON, reply(200, js), body, true, parsed, {}},
        {"2xx invalid JSON", JSON, reply(201, js), broken, true, none, {kParser}},
        {"5xx JSON is parsed and fails", JSON, reply(500, js), body, false, parsed, {kStatus}},
        {"5xx invalid JSON", JSON, reply(503, js), broken, false, none, {kParser, kStatus}},
        {"2xx other type", JSON, reply(200, plain), body, false, none, {kType}},
        {"4xx other type", JSON, reply(404, html), tag, false, none, {kStatus, kType}},
        {"2xx other type, empty body", JSON, reply(200, html), "", false, none, {}},
        {"2xx no type, no body", JSON, reply(204, {}), std::nullopt, false, none, {}},
        {"2xx one space", JSON, reply(200, js), " ", true, none, {}},
        {"4xx JSON, empty body", JSON, reply(404, js), "", false, none, {kStatus}},
        {"type with parameters", JSON, reply(299, jsWithCharset), body, true, parsed, {}},
        {"6xx", JSON, reply(600, js), body, false, parsed, {kStatus}},
        {"no status test", NoStatusTest, reply(500, js), body, true, parsed, {}},
        {"no type test", NoTypeTest, reply(200, plain), body, true, parsed, {}},
        {"added status code", With404, reply(404, js), body, true, parsed, {}},
        {"other protocol", JSON, file, body, true, parsed, {}},
        {"no response", JSON, std::nullopt, body, true, parsed, {}},
        // Without a URL the status goes untested and a refused type makes no
        // error, so the body is parsed.
        {"no URL", JSON, reply(404, plain, QUrl()), body, false, parsed, {}},
        {"refused type, no slot", JSONWithoutErrorSlot, reply(200, plain), body, false, none, {}},
        {"refused status, no slot", JSONWithoutErrorSlot, reply(500, js), body, false, none, {}},
        {"base returns the body", Base, reply(404, html), tag, false, tag, {kStatus}},
        {"base without body", Base, reply(200, js), std::nullopt, true, none, {}},
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

TEST(ResponseSerializer, BodyDecodingAndParsing)
{
    struct Row {
        const char *name;
        QString charset;
        QByteArray body;
        QVariant object;
        QList<qint64> chain;
        zek::NSStringEncoding stringEncoding;
        zek::NSJSONReadingOptions readingOptions;
        bool removesNulls = false;
    };
    const QByteArray utf16BE = QStringEncoder(QStringConverter::Utf16BE).encode(uR"({"a":"€"})"_s);
    const QVariant euro = QVariantMap{{u"a"_s, u"€"_s}};
    const QVariant eAcute = QVariantMap{{u"a"_s, u"é"_s}};
    const QVariant none;
    const QByteArray latin1 = "{\"a\":\"\xe9\"}";
    const QByteArray utf8 = "{\"a\":\"\xc3\xa9\"}";
    constexpr qint64 kParser = zek::NSPropertyListReadCorruptError;
    constexpr qint64 kRecode = zek::NSURLErrorCannotDecodeContentData;
    constexpr auto UTF8 = zek::NSUTF8StringEncoding;
    constexpr auto Latin1 = zek::NSISOLatin1StringEncoding;
    constexpr auto fragments = zek::NSJSONReadingFragmentsAllowed;
    constexpr auto mutableContainers = zek::NSJSONReadingMutableContainers;
    const QByteArray nested = R"({"a":null,"b":[null,{"c":null}]})";
    const QVariant stripped = json(R"({"b":[null,{}]})");
    const QByteArray deep = R"([{"a":{"b":{"c":null,"d":false}},"e":""},null])";
    const QVariant deepStripped = json(R"([{"a":{"b":{"d":false}},"e":""},null])");
    const QVariant null = QVariant::fromValue(nullptr);

    const Row rows[] = {
        {"Latin-1", u"ISO-8859-1"_s, latin1, eAcute, {}, UTF8, 0},
        {"alias, quoted", u"\"latin1\""_s, latin1, eAcute, {}, UTF8, 0},
        {"Windows-1252", u"windows-1252"_s, "{\"a\":\"\x80\"}", euro, {}, UTF8, 0},
        {"UTF-16BE", u"UTF-16BE"_s, utf16BE, euro, {}, UTF8, 0},
        {"unknown name, UTF-8", u"x-zek"_s, utf8, eAcute, {}, UTF8, 0},
        {"unknown name, Latin-1", u"x-zek"_s, latin1, eAcute, {}, Latin1, 0},
        {"charset beats stringEncoding", u"utf-8"_s, utf8, eAcute, {}, Latin1, 0},
        {"malformed UTF-8", {}, "{\"a\":\"\xff\"}", none, {}, UTF8, 0},
        {"not ASCII", {}, utf8, none, {}, zek::NSASCIIStringEncoding, 0},
        // UTF-7 can spell half a surrogate pair, which UTF-8 cannot.
        {"no UTF-8 form", u"UTF-7"_s, "+2AA-", none, {kRecode}, UTF8, 0},
        {"fragment refused", {}, "\"x\"", none, {kParser}, UTF8, 0},
        {"fragment allowed", {}, "\"x\"", u"x"_s, {}, UTF8, fragments},
        {"null fragment", {}, " null ", null, {}, UTF8, fragments},
        {"two fragments", {}, "1,2", none, {kParser}, UTF8, fragments},
        {"blank fragment", {}, "\t", none, {kParser}, UTF8, fragments},
        {"trailing garbage", {}, "[1]]", none, {kParser}, UTF8, fragments},
        {"raw line break in a string", {}, "{\"a\n\":1}", none, {kParser}, UTF8, 0},
        {"escaped line break", {}, "{\"a\\n\":1}", json(R"({"a\n":1})"), {}, UTF8, 0},
        {"unknown escape", {}, "[\"\\X\"]", none, {kParser}, UTF8, 0},
        {"nulls kept", {}, nested, json(nested), {}, UTF8, 0},
        {"nulls removed", {}, nested, stripped, {}, UTF8, 0, true},
        {"nulls removed, mutable", {}, nested, stripped, {}, UTF8, mutableContainers, true},
        {"nulls removed, deep", {}, deep, deepStripped, {}, UTF8, 0, true},
        {"null fragment stays", {}, "null", null, {}, UTF8, fragments, true},
        {"string fragment stays", {}, "\"x\"", u"x"_s, {}, UTF8, fragments, true},
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

TEST(ResponseSerializer, NullStrippingOfValuesBuiltInCode)
{
    // A missing value counts as null; a null string does not.
    const QVariantMap built{{u"gone"_s, QVariant()}, {u"kept"_s, QString()}};
    EXPECT_EQ(HCJSONObjectByRemovingKeysWithNullValues(built, 0),
              QVariant(QVariantMap{{u"kept"_s, QString()}}));
}

TEST(ResponseSerializer, ArchivesAndCopies)
{
    struct State {
        bool json;
        std::optional<zek::IndexSet> codes;
        std::optional<QSet<QString>> types;
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
    const State JSONCopy{true, success, JSONTypes, 5, true};

    struct Row {
        const char *name;
        bool defaults; // made fresh, so `made` states its defaults
        State made;    // its class; its settings too unless `defaults`
        QCborMap archive;
        std::optional<State> copied = std::nullopt; // else as made
    };
    const Row rows[] = {
        {"base defaults", true, {false, success, {}}, {{codes, ok}}},
        {"base, tests changed", false, {false, custom, pdf}, {{codes, okAnd404}, {types, pdfs}}},
        {"base, tests off", false, {false, {}, {}}, {}},
        {"JSON defaults", true, {true, success, JSONTypes}, JSONDefaults},
        // A JSON copy keeps its options but not its tests.
        {"JSON, all changed", false, {true, {}, pdf, 5, true}, JSONChanged, JSONCopy},
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
    EXPECT_TRUE(stateOf(HCJSONResponseSerializer(malformed)) ==
                (State{true, std::nullopt, std::nullopt}));
}

TEST(ResponseSerializer, ErrorChains)
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
