// The request serializer: default header fields, request settings, query
// and body encoding of parameters, flattening and escaping.

#include "HCDefaultHeaderFields.h"
#include "HCHTTPRequestSerializer.h"
#include "HCQueryStringPair.h"
#include "OrderedSet.h"
#include "ZEKIdentity.h"

#include <gtest/gtest.h>
#include <sys/utsname.h>

using namespace Qt::StringLiterals;

namespace {

const QString kURL = u"http://127.0.0.1:5004/p"_s;

// The query string the serializer makes of parameters, through a GET.
QString queryOf(const QVariantMap &parameters,
                zek::NSStringEncoding encoding = zek::NSUTF8StringEncoding)
{
    HCHTTPRequestSerializer serializer;
    serializer.setStringEncoding(encoding);
    const auto request = serializer.requestWithMethod(u"GET"_s, kURL, parameters, nullptr);
    return request ? request->URL().query(QUrl::FullyEncoded) : u"<no request>"_s;
}

// --- Default header fields ---------------------------------------------------

TEST(HeaderDefaults, RequestsCarryLanguageAndAgentOnly)
{
    HCHTTPRequestSerializer serializer;
    const auto request = serializer.requestWithMethod(u"GET"_s, kURL, std::nullopt, nullptr);
    ASSERT_TRUE(request);
    QStringList names;
    for (const auto &field : request->allHTTPHeaderFields()) {
        names.append(field.first);
    }
    names.sort();
    EXPECT_EQ(names, (QStringList{u"Accept-Language"_s, u"User-Agent"_s}));
    EXPECT_TRUE(request->HTTPBody().isEmpty());
    EXPECT_FALSE(request->HTTPBodyStream());
}

TEST(HeaderDefaults, UserAgentNamesTheApplicationAndThisSystem)
{
    struct utsname system {};
    ASSERT_EQ(uname(&system), 0);
    const QString expected = u"ZEKUploader/"_s + QString::fromUtf8(zek::kVersion) + u" ("_s +
                             QString::fromUtf8(system.sysname) + u' ' +
                             QString::fromUtf8(system.release) + u')';
    EXPECT_EQ(HCHTTPRequestSerializer().valueForHTTPHeaderField(u"User-Agent"_s), expected);
    EXPECT_TRUE(expected.startsWith(u"ZEKUploader/1."_s)) << expected.toStdString();
}

TEST(HeaderDefaults, UserAgentIsTransliteratedToASCII)
{
    EXPECT_EQ(HCUserAgentFromComponents(u"Zëk Ûploader"_s, u"1.0"_s, u"Linux"_s, u"6.1"_s),
              u"Zek Uploader/1.0 (Linux 6.1)"_s);
    EXPECT_EQ(HCUserAgentFromComponents(u"Печать"_s, u"2"_s, u"Linux"_s, u"6.1"_s),
              u"Pecat'/2 (Linux 6.1)"_s);
    EXPECT_EQ(HCUserAgentFromComponents(u"ZEKUploader"_s, u"1.0.0"_s, u"Linux"_s, u"6.1.0-28"_s),
              u"ZEKUploader/1.0.0 (Linux 6.1.0-28)"_s);
}

TEST(HeaderDefaults, AcceptLanguageWeighsLanguagesInOrder)
{
    EXPECT_EQ(HCAcceptLanguageFromPreferredLanguages({u"en"_s, u"de"_s, u"fr"_s}),
              u"en;q=1, de;q=0.9, fr;q=0.8"_s);
    EXPECT_EQ(HCAcceptLanguageFromPreferredLanguages({}), u""_s);
}

TEST(HeaderDefaults, AcceptLanguageStopsAtSixEntries)
{
    const QStringList seven{u"a"_s, u"b"_s, u"c"_s, u"d"_s, u"e"_s, u"f"_s, u"g"_s};
    EXPECT_EQ(HCAcceptLanguageFromPreferredLanguages(seven),
              u"a;q=1, b;q=0.9, c;q=0.8, d;q=0.7, e;q=0.6, f;q=0.5"_s);
}

TEST(HeaderDefaults, HeaderFieldsCanBeSetAndRemoved)
{
    HCHTTPRequestSerializer serializer;
    serializer.setValue(u"yes"_s, u"X-Extra"_s);
    EXPECT_EQ(serializer.HTTPRequestHeaders().value(u"X-Extra"_s), u"yes"_s);
    serializer.setValue(QString(), u"X-Extra"_s);
    EXPECT_FALSE(serializer.HTTPRequestHeaders().contains(u"X-Extra"_s));
    serializer.setValue(QString(), u"User-Agent"_s);
    const auto request = serializer.requestWithMethod(u"GET"_s, kURL, std::nullopt, nullptr);
    EXPECT_TRUE(request->valueForHTTPHeaderField(u"user-agent"_s).isNull());
}

TEST(HeaderDefaults, FieldsOfTheRequestWin)
{
    HCHTTPRequestSerializer serializer;
    HCURLRequest request{QUrl(kURL)};
    request.setValue(u"mine/1"_s, u"user-agent"_s);
    const auto serialized = serializer.requestBySerializingRequest(request, std::nullopt, nullptr);
    EXPECT_EQ(serialized->valueForHTTPHeaderField(u"User-Agent"_s), u"mine/1"_s);
    EXPECT_FALSE(serialized->valueForHTTPHeaderField(u"Accept-Language"_s).isNull());
    EXPECT_TRUE(request.valueForHTTPHeaderField(u"Accept-Language"_s).isNull()) << "unchanged";
}

TEST(HeaderDefaults, Authorization)
{
    HCHTTPRequestSerializer serializer;
    serializer.setAuthorizationHeaderFieldWithUsername(u"Aladdin"_s, u"open sesame"_s);
    EXPECT_EQ(serializer.valueForHTTPHeaderField(u"Authorization"_s),
              u"Basic QWxhZGRpbjpvcGVuIHNlc2FtZQ=="_s);
    serializer.setAuthorizationHeaderFieldWithToken(u"abc"_s);
    EXPECT_EQ(serializer.valueForHTTPHeaderField(u"Authorization"_s), u"Token token=\"abc\""_s);
    serializer.clearAuthorizationHeader();
    EXPECT_TRUE(serializer.valueForHTTPHeaderField(u"Authorization"_s).isNull());
}

// --- Request settings --------------------------------------------------------

TEST(Settings, UnassignedSettingsLeaveThePlatformDefaults)
{
    HCHTTPRequestSerializer serializer;
    EXPECT_EQ(serializer.timeoutInterval(), 0.0);
    EXPECT_FALSE(serializer.HTTPShouldHandleCookies());
    const auto request = serializer.requestWithMethod(u"POST"_s, kURL, std::nullopt, nullptr);
    EXPECT_EQ(request->timeoutInterval(), 60.0);
    EXPECT_TRUE(request->allowsCellularAccess());
    EXPECT_EQ(request->cachePolicy(), kHCURLRequestUseProtocolCachePolicy);
    EXPECT_TRUE(request->HTTPShouldHandleCookies());
    EXPECT_FALSE(request->HTTPShouldUsePipelining());
    EXPECT_EQ(request->networkServiceType(), kHCURLNetworkServiceTypeDefault);
    EXPECT_EQ(request->HTTPMethod(), u"POST"_s);
}

TEST(Settings, AssignedSettingsApplyToLaterRequests)
{
    HCHTTPRequestSerializer serializer;
    serializer.setTimeoutInterval(15.0);
    const auto first = serializer.requestWithMethod(u"GET"_s, kURL, std::nullopt, nullptr);
    EXPECT_EQ(first->timeoutInterval(), 15.0);

    serializer.setAllowsCellularAccess(false);
    serializer.setCachePolicy(1);
    serializer.setHTTPShouldHandleCookies(false);
    serializer.setHTTPShouldUsePipelining(true);
    serializer.setNetworkServiceType(3);
    const auto second = serializer.requestWithMethod(u"GET"_s, kURL, std::nullopt, nullptr);
    EXPECT_FALSE(second->allowsCellularAccess());
    EXPECT_EQ(second->cachePolicy(), 1u);
    EXPECT_FALSE(second->HTTPShouldHandleCookies());
    EXPECT_TRUE(second->HTTPShouldUsePipelining());
    EXPECT_EQ(second->networkServiceType(), 3u);
    EXPECT_TRUE(first->allowsCellularAccess()) << "a built request does not follow";
}

TEST(Settings, AssigningZeroStillApplies)
{
    HCHTTPRequestSerializer serializer;
    serializer.setTimeoutInterval(0.0);
    EXPECT_EQ(
        serializer.requestWithMethod(u"GET"_s, kURL, std::nullopt, nullptr)->timeoutInterval(),
        0.0);
}

// --- Parameters in the query -------------------------------------------------

TEST(QueryBuilding, ParametersGoIntoTheQueryOfGetHeadAndDelete)
{
    HCHTTPRequestSerializer serializer;
    const QVariantMap parameters{{u"b"_s, 2}, {u"a"_s, 1}};
    for (const QString &method : {u"GET"_s, u"HEAD"_s, u"DELETE"_s, u"get"_s}) {
        const auto request = serializer.requestWithMethod(method, kURL, parameters, nullptr);
        EXPECT_EQ(request->URL().toString(QUrl::FullyEncoded), kURL + u"?a=1&b=2"_s)
            << method.toStdString();
        EXPECT_TRUE(request->HTTPBody().isEmpty());
        EXPECT_TRUE(request->valueForHTTPHeaderField(u"Content-Type"_s).isNull());
    }
}

TEST(QueryBuilding, TheMethodsThatUseTheQueryCanBeChosen)
{
    HCHTTPRequestSerializer serializer;
    serializer.setHTTPMethodsEncodingParametersInURI({u"POST"_s});
    const QVariantMap parameters{{u"a"_s, 1}};
    const auto post = serializer.requestWithMethod(u"POST"_s, kURL, parameters, nullptr);
    EXPECT_EQ(post->URL().query(), u"a=1"_s);
    EXPECT_TRUE(post->HTTPBody().isEmpty());
    const auto get = serializer.requestWithMethod(u"GET"_s, kURL, parameters, nullptr);
    EXPECT_FALSE(get->URL().hasQuery());
    EXPECT_EQ(get->HTTPBody(), "a=1");
}

TEST(QueryBuilding, AnExistingQueryIsExtended)
{
    HCHTTPRequestSerializer serializer;
    const auto request =
        serializer.requestWithMethod(u"GET"_s, kURL + u"?x=1"_s, QVariantMap{{u"a"_s, 1}}, nullptr);
    EXPECT_EQ(request->URL().toString(QUrl::FullyEncoded), kURL + u"?x=1&a=1"_s);
}

TEST(QueryBuilding, EmptyParametersLeaveABareQuestionMark)
{
    HCHTTPRequestSerializer serializer;
    const auto request = serializer.requestWithMethod(u"GET"_s, kURL, QVariantMap{}, nullptr);
    EXPECT_EQ(request->URL().toString(QUrl::FullyEncoded), kURL + u'?');
}

TEST(QueryBuilding, TheQueryGoesBeforeAFragment)
{
    HCHTTPRequestSerializer serializer;
    const auto request =
        serializer.requestWithMethod(u"GET"_s, kURL + u"#top"_s, QVariantMap{{u"a"_s, 1}}, nullptr);
    EXPECT_EQ(request->URL().toString(QUrl::FullyEncoded), kURL + u"?a=1#top"_s);
}

TEST(QueryBuilding, AnInvalidURLGivesARequestWithoutURL)
{
    HCHTTPRequestSerializer serializer;
    std::optional<zek::Error> error;
    const auto request =
        serializer.requestWithMethod(u"GET"_s, u"http://a b/"_s, QVariantMap{{u"a"_s, 1}}, &error);
    ASSERT_TRUE(request);
    EXPECT_TRUE(request->URL().isEmpty());
    EXPECT_FALSE(error);
}

TEST(QueryBuilding, ACustomEncoderReplacesTheBuiltInOne)
{
    HCHTTPRequestSerializer serializer;
    QVariantMap seenParameters;
    QString seenAgent = u"not called"_s;
    serializer.setQueryStringSerializationWithBlock([&](const HCURLRequest &request,
                                                        const QVariantMap &parameters,
                                                        std::optional<zek::Error> *) {
        seenParameters = parameters;
        seenAgent = request.valueForHTTPHeaderField(u"User-Agent"_s);
        return u"custom=1"_s;
    });
    const QVariantMap parameters{{u"a"_s, 1}};
    auto request = serializer.requestWithMethod(u"GET"_s, kURL, parameters, nullptr);
    EXPECT_EQ(request->URL().query(), u"custom=1"_s);
    EXPECT_EQ(seenParameters, parameters);
    EXPECT_TRUE(seenAgent.isNull()) << "the encoder sees the request without default fields";

    serializer.setQueryStringSerializationWithStyle(HCHTTPRequestQueryStringDefaultStyle);
    request = serializer.requestWithMethod(u"GET"_s, kURL, parameters, nullptr);
    EXPECT_EQ(request->URL().query(), u"a=1"_s);
}

TEST(QueryBuilding, ACustomEncoderErrorFailsTheRequest)
{
    HCHTTPRequestSerializer serializer;
    const zek::Error failure(u"test.domain"_s, 7, {{zek::NSLocalizedDescriptionKey, u"no"_s}});
    serializer.setQueryStringSerializationWithBlock(
        [&](const HCURLRequest &, const QVariantMap &, std::optional<zek::Error> *error) {
            *error = failure;
            return u"ignored"_s;
        });
    std::optional<zek::Error> error;
    EXPECT_FALSE(serializer.requestWithMethod(u"POST"_s, kURL, QVariantMap{}, &error));
    EXPECT_EQ(error, failure);
    EXPECT_FALSE(serializer.requestWithMethod(u"POST"_s, kURL, QVariantMap{}, nullptr));
    EXPECT_TRUE(serializer.requestWithMethod(u"POST"_s, kURL, std::nullopt, nullptr))
        << "without parameters the encoder is not asked";
}

// --- Parameters in the body --------------------------------------------------

TEST(BodyEncoding, OtherMethodsGetAFormEncodedBody)
{
    HCHTTPRequestSerializer serializer;
    for (const QString &method : {u"POST"_s, u"PUT"_s, u"PATCH"_s}) {
        const auto request =
            serializer.requestWithMethod(method, kURL, QVariantMap{{u"a"_s, u"x y&z"_s}}, nullptr);
        EXPECT_EQ(request->HTTPBody(), "a=x%20y%26z");
        EXPECT_EQ(request->valueForHTTPHeaderField(u"Content-Type"_s),
                  u"application/x-www-form-urlencoded"_s);
        EXPECT_EQ(request->URL().toString(), kURL);
    }
}

TEST(BodyEncoding, AContentTypeOfTheRequestIsKept)
{
    HCHTTPRequestSerializer serializer;
    HCURLRequest request{QUrl(kURL)};
    request.setHTTPMethod(u"POST"_s);
    request.setValue(u"text/plain"_s, u"content-type"_s);
    const auto serialized =
        serializer.requestBySerializingRequest(request, QVariantMap{{u"a"_s, 1}}, nullptr);
    EXPECT_EQ(serialized->valueForHTTPHeaderField(u"Content-Type"_s), u"text/plain"_s);
    EXPECT_EQ(serialized->HTTPBody(), "a=1");
}

TEST(BodyEncoding, NoParametersNoBody)
{
    HCHTTPRequestSerializer serializer;
    const auto request = serializer.requestWithMethod(u"POST"_s, kURL, std::nullopt, nullptr);
    EXPECT_TRUE(request->HTTPBody().isEmpty());
    EXPECT_TRUE(request->valueForHTTPHeaderField(u"Content-Type"_s).isNull());
}

// --- Flattening ----------------------------------------------------------------

TEST(Flattening, NestedDictionariesArraysAndSets)
{
    EXPECT_EQ(queryOf({{u"user"_s, QVariantMap{{u"name"_s, u"n"_s}, {u"age"_s, 3}}}}),
              u"user[age]=3&user[name]=n"_s);
    EXPECT_EQ(queryOf({{u"ids"_s, QVariantList{3, 1}}}), u"ids[]=3&ids[]=1"_s);
    EXPECT_EQ(queryOf({{u"s"_s, QVariant::fromValue(zek::OrderedSet{2, 10})}}), u"s=10&s=2"_s);
    EXPECT_EQ(queryOf({{u"a"_s, QVariantList{QVariantMap{{u"k"_s, QVariantList{1, 2}}}}}}),
              u"a[][k][]=1&a[][k][]=2"_s);
}

TEST(Flattening, KeysSortByTheirCharacterCodes)
{
    EXPECT_EQ(queryOf({{u"9"_s, 1}, {u"10"_s, 2}, {u"a"_s, 3}, {u"B"_s, 4}}),
              u"10=2&9=1&B=4&a=3"_s);
}

TEST(Flattening, EmptyContainersVanish)
{
    EXPECT_EQ(queryOf({{u"a"_s, QVariantMap{}},
                       {u"b"_s, QVariantList{}},
                       {u"c"_s, QVariant::fromValue(zek::OrderedSet{})},
                       {u"d"_s, 1}}),
              u"d=1"_s);
}

TEST(Flattening, LeafValuesInTheirTextForm)
{
    EXPECT_EQ(queryOf({{u"k"_s, QVariant::fromValue(nullptr)}, {u"t"_s, true}, {u"x"_s, 1.5}}),
              u"k&t=1&x=1.5"_s);
    EXPECT_EQ(queryOf({{u"b"_s, QByteArray("\x01")}}), u"b=%3C01%3E"_s);
}

TEST(Flattening, PairsComeInEncodingOrder)
{
    const auto pairs =
        HCQueryStringPairsFromDictionary({{u"z"_s, 1}, {u"m"_s, QVariantList{u"p"_s, u"q"_s}}});
    ASSERT_EQ(pairs.size(), 3);
    EXPECT_EQ(pairs[0].field(), u"m[]"_s);
    EXPECT_EQ(pairs[0].value(), QVariant(u"p"_s));
    EXPECT_EQ(pairs[1].value(), QVariant(u"q"_s));
    EXPECT_EQ(pairs[2].field(), u"z"_s);
}

// --- Escaping ------------------------------------------------------------------

TEST(Escaping, OnlyUnreservedCharactersStayLiteral)
{
    EXPECT_EQ(HCPercentEscapedQueryStringValueFromStringWithEncoding(u":/?&=;+!@#$()',*"_s,
                                                                     zek::NSUTF8StringEncoding),
              u"%3A%2F%3F%26%3D%3B%2B%21%40%23%24%28%29%27%2C%2A"_s);
    EXPECT_EQ(HCPercentEscapedQueryStringValueFromStringWithEncoding(u"aZ09-._~ 100%[]"_s,
                                                                     zek::NSUTF8StringEncoding),
              u"aZ09-._~%20100%25%5B%5D"_s);
}

TEST(Escaping, KeysKeepBracketsAndPoints)
{
    EXPECT_EQ(HCPercentEscapedQueryStringKeyFromStringWithEncoding(u"a[b].c&d=e"_s,
                                                                   zek::NSUTF8StringEncoding),
              u"a[b].c%26d%3De"_s);
}

TEST(Escaping, EachByteOfTheChosenEncoding)
{
    EXPECT_EQ(queryOf({{u"é"_s, u"日"_s}}), u"%C3%A9=%E6%97%A5"_s);
    EXPECT_EQ(queryOf({{u"é"_s, u"ü"_s}}, zek::NSISOLatin1StringEncoding), u"%E9=%FC"_s);
    // Shift_JIS puts "[" (0x5B) inside a character; it is escaped with it.
    EXPECT_EQ(HCPercentEscapedQueryStringKeyFromStringWithEncoding(u"[ゼ]"_s,
                                                                   zek::NSShiftJISStringEncoding),
              u"[%83%5B]"_s);
    EXPECT_EQ(queryOf({{u"a"_s, u"😀"_s}}), u"a=%F0%9F%98%80"_s);
}

} // namespace
