// The request serializer: default header fields, request settings, query
// and body encoding of parameters, flattening and escaping.

#include "HCHTTPRequestSerializer.h"

#include "HCDefaultHeaderFields.h"
#include "HCQueryStringPair.h"
#include "OrderedSet.h"
#include "ZEKIdentity.h"

#include <gtest/gtest.h>
#include <sys/utsname.h>
#include <tuple>

using namespace Qt::StringLiterals;

namespace {

const QString kURL = u"http://127.0.0.1:5004/p"_s;

HCURLRequest build(const HCHTTPRequestSerializer &serializer, const QString &method,
                   const std::optional<QVariantMap> &parameters = std::nullopt,
                   const QString &URLString = kURL)
{
    return serializer.requestWithMethod(method, URLString, parameters, nullptr).value();
}

QString queryOf(const QVariantMap &parameters,
                zek::NSStringEncoding encoding = zek::NSUTF8StringEncoding)
{
    HCHTTPRequestSerializer serializer;
    serializer.setStringEncoding(encoding);
    return build(serializer, u"GET"_s, parameters).URL().query(QUrl::FullyEncoded);
}

TEST(HCHTTPRequestSerializerTest, UserAgentNamesTheApplicationAndThisSystemInASCII)
{
    struct utsname system {};
    ASSERT_EQ(uname(&system), 0);
    EXPECT_EQ(HCHTTPRequestSerializer().valueForHTTPHeaderField(u"User-Agent"_s),
              u"ZEKUploader/%1 (%2 %3)"_s.arg(QString::fromUtf8(zek::kVersion),
                                              QString::fromUtf8(system.sysname),
                                              QString::fromUtf8(system.release)));
    EXPECT_EQ(HCUserAgentFromComponents(u"Zëk Ûploader"_s, u"1.0"_s, u"Linux"_s, u"6.1"_s),
              u"Zek Uploader/1.0 (Linux 6.1)"_s);
    EXPECT_EQ(HCUserAgentFromComponents(u"Печать"_s, u"2"_s, u"Linux"_s, u"6.1"_s),
              u"Pecat'/2 (Linux 6.1)"_s);
}

TEST(HCHTTPRequestSerializerTest, AcceptLanguageWeighsAtMostSixLanguages)
{
    EXPECT_EQ(HCAcceptLanguageFromPreferredLanguages({u"en"_s, u"de"_s, u"fr"_s}),
              u"en;q=1, de;q=0.9, fr;q=0.8"_s);
    EXPECT_EQ(HCAcceptLanguageFromPreferredLanguages(
                  {u"a"_s, u"b"_s, u"c"_s, u"d"_s, u"e"_s, u"f"_s, u"g"_s}),
              u"a;q=1, b;q=0.9, c;q=0.8, d;q=0.7, e;q=0.6, f;q=0.5"_s);
    EXPECT_EQ(HCAcceptLanguageFromPreferredLanguages({}), u""_s);
}

TEST(HCHTTPRequestSerializerTest, HeaderFieldsOfTheSerializerAndOfTheRequest)
{
    HCHTTPRequestSerializer serializer;
    const auto fields = build(serializer, u"GET"_s).allHTTPHeaderFields();
    EXPECT_EQ(serializer.HTTPRequestHeaders().keys(),
              (QStringList{u"Accept-Language"_s, u"User-Agent"_s}));
    EXPECT_EQ(fields.size(), 2);
    for (const auto &[name, value] : fields) {
        EXPECT_EQ(value, serializer.valueForHTTPHeaderField(name)) << name.toStdString();
    }
    serializer.setAuthorizationHeaderFieldWithUsername(u"Aladdin"_s, u"open sesame"_s);
    EXPECT_EQ(serializer.valueForHTTPHeaderField(u"Authorization"_s),
              u"Basic QWxhZGRpbjpvcGVuIHNlc2FtZQ=="_s);
    serializer.setAuthorizationHeaderFieldWithToken(u"abc"_s);
    EXPECT_EQ(serializer.valueForHTTPHeaderField(u"Authorization"_s), u"Token token=\"abc\""_s);
    serializer.clearAuthorizationHeader();
    serializer.setValue(QString(), u"Accept-Language"_s);
    EXPECT_EQ(serializer.HTTPRequestHeaders().keys(), QStringList{u"User-Agent"_s});

    HCURLRequest request{QUrl(kURL)};
    request.setValue(u"mine/1"_s, u"user-agent"_s);
    const auto serialized = serializer.requestBySerializingRequest(request, std::nullopt, nullptr);
    EXPECT_EQ(serialized->valueForHTTPHeaderField(u"User-Agent"_s), u"mine/1"_s);
    EXPECT_EQ(serialized->allHTTPHeaderFields().size(), 1) << "the request's own field wins";
}

TEST(HCHTTPRequestSerializerTest, OnlyAssignedRequestSettingsApply)
{
    const auto settingsOf = [](const HCURLRequest &r) {
        return std::tuple(r.timeoutInterval(), r.allowsCellularAccess(), r.cachePolicy(),
                          r.HTTPShouldHandleCookies(), r.HTTPShouldUsePipelining(),
                          r.networkServiceType());
    };
    HCHTTPRequestSerializer serializer;
    EXPECT_EQ(serializer.timeoutInterval(), 0.0);
    const auto defaults = settingsOf(build(serializer, u"POST"_s));
    EXPECT_EQ(defaults, settingsOf(HCURLRequest(QUrl(kURL))));
    EXPECT_EQ(std::get<0>(defaults), 60.0);

    serializer.setTimeoutInterval(15.0);
    EXPECT_EQ(build(serializer, u"GET"_s).timeoutInterval(), 15.0);
    serializer.setTimeoutInterval(0.0); // zero, once assigned, applies too
    serializer.setAllowsCellularAccess(false);
    serializer.setCachePolicy(1);
    serializer.setHTTPShouldHandleCookies(false);
    serializer.setHTTPShouldUsePipelining(true);
    serializer.setNetworkServiceType(3);
    EXPECT_EQ(settingsOf(build(serializer, u"GET"_s)), std::tuple(0.0, false, 1u, false, true, 3u));
}

TEST(HCHTTPRequestSerializerTest, ParametersOfGetHeadAndDeleteGoIntoTheURL)
{
    struct Case {
        QString method = u"GET"_s;
        QString URL = kURL;
        QVariantMap parameters;
        QString expected;
    };
    const QVariantMap ba{{u"b"_s, 2}, {u"a"_s, 1}};
    const Case cases[] = {
        {.parameters = ba, .expected = kURL + u"?a=1&b=2"_s},
        {.method = u"HEAD"_s, .parameters = ba, .expected = kURL + u"?a=1&b=2"_s},
        {.method = u"delete"_s, .parameters = ba, .expected = kURL + u"?a=1&b=2"_s},
        {.URL = kURL + u"?x=1"_s, .parameters = {{u"a"_s, 1}}, .expected = kURL + u"?x=1&a=1"_s},
        {.parameters = {}, .expected = kURL + u"?"_s},
        {.URL = kURL + u"#top"_s, .parameters = {{u"a"_s, 1}}, .expected = kURL + u"?a=1#top"_s},
        {.URL = u"http://a b/"_s, .parameters = {{u"a"_s, 1}}, .expected = u""_s},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE((c.method + u' ' + c.URL).toStdString());
        const HCURLRequest request =
            build(HCHTTPRequestSerializer(), c.method, c.parameters, c.URL);
        EXPECT_EQ(request.URL().toString(QUrl::FullyEncoded), c.expected);
        EXPECT_TRUE(request.HTTPBody().isEmpty());
        EXPECT_TRUE(request.valueForHTTPHeaderField(u"Content-Type"_s).isNull());
    }
}

TEST(HCHTTPRequestSerializerTest, CustomQueryEncoderAndItsErrors)
{
    HCHTTPRequestSerializer serializer;
    QVariantMap seen;
    serializer.setQueryStringSerializationWithBlock([&](const HCURLRequest &request,
                                                        const QVariantMap &parameters,
                                                        std::optional<zek::Error> *error) {
        seen = parameters;
        EXPECT_TRUE(request.valueForHTTPHeaderField(u"User-Agent"_s).isNull());
        if (parameters.contains(u"fail"_s)) {
            *error = zek::Error(u"test"_s, 7);
        }
        return u"custom=1"_s;
    });
    EXPECT_EQ(build(serializer, u"GET"_s, QVariantMap{{u"a"_s, 1}}).URL().query(), u"custom=1"_s);
    EXPECT_EQ(seen, (QVariantMap{{u"a"_s, 1}}));

    std::optional<zek::Error> error;
    EXPECT_FALSE(
        serializer.requestWithMethod(u"POST"_s, kURL, QVariantMap{{u"fail"_s, 1}}, &error));
    EXPECT_EQ(error, zek::Error(u"test"_s, 7));

    serializer.setQueryStringSerializationWithStyle(HCHTTPRequestQueryStringDefaultStyle);
    EXPECT_EQ(build(serializer, u"GET"_s, QVariantMap{{u"a"_s, 1}}).URL().query(), u"a=1"_s);
}

TEST(HCHTTPRequestSerializerTest, OtherMethodsGetAFormEncodedBody)
{
    HCHTTPRequestSerializer serializer;
    const HCURLRequest post = build(serializer, u"POST"_s, QVariantMap{{u"a"_s, u"x y&z"_s}});
    EXPECT_EQ(post.HTTPBody(), "a=x%20y%26z");
    EXPECT_EQ(post.valueForHTTPHeaderField(u"Content-Type"_s),
              u"application/x-www-form-urlencoded"_s);
    EXPECT_EQ(post.URL().toString(), kURL);
    EXPECT_TRUE(build(serializer, u"PUT"_s).HTTPBody().isEmpty()) << "no parameters, no body";

    HCURLRequest typed{QUrl(kURL)};
    typed.setHTTPMethod(u"PATCH"_s);
    typed.setValue(u"text/plain"_s, u"content-type"_s);
    const auto kept =
        serializer.requestBySerializingRequest(typed, QVariantMap{{u"a"_s, 1}}, nullptr);
    EXPECT_EQ(kept->valueForHTTPHeaderField(u"Content-Type"_s), u"text/plain"_s);
    EXPECT_EQ(kept->HTTPBody(), "a=1");

    serializer.setHTTPMethodsEncodingParametersInURI({u"POST"_s});
    EXPECT_EQ(build(serializer, u"POST"_s, QVariantMap{{u"a"_s, 1}}).URL().query(), u"a=1"_s);
    EXPECT_EQ(build(serializer, u"GET"_s, QVariantMap{{u"a"_s, 1}}).HTTPBody(), "a=1");
}

TEST(HCHTTPRequestSerializerTest, FlatteningKeepsNestingOrdersAndLeafValues)
{
    const std::pair<QVariantMap, QString> cases[] = {
        {{{u"user"_s, QVariantMap{{u"name"_s, u"n"_s}, {u"age"_s, 3}}}},
         u"user[age]=3&user[name]=n"_s},
        {{{u"ids"_s, QVariantList{3, 1}}}, u"ids[]=3&ids[]=1"_s},
        {{{u"s"_s, QVariant::fromValue(zek::OrderedSet{2, 10})}}, u"s=10&s=2"_s},
        {{{u"a"_s, QVariantList{QVariantMap{{u"k"_s, QVariantList{1, 2}}}}}},
         u"a[][k][]=1&a[][k][]=2"_s},
        {{{u"9"_s, 1}, {u"10"_s, 2}, {u"a"_s, 3}, {u"B"_s, 4}}, u"10=2&9=1&B=4&a=3"_s},
        {{{u"a"_s, QVariantMap{}}, {u"b"_s, QVariantList{}}, {u"d"_s, 1}}, u"d=1"_s},
        {{{u"k"_s, QVariant::fromValue(nullptr)}, {u"t"_s, true}, {u"x"_s, 1.5}}, u"k&t=1&x=1.5"_s},
        {{{u"b"_s, QByteArray("\x01")}}, u"b=%3C01%3E"_s},
    };
    for (const auto &[parameters, expected] : cases) {
        EXPECT_EQ(queryOf(parameters), expected);
    }
}

TEST(HCHTTPRequestSerializerTest, OnlyUnreservedCharactersStayLiteralPerByteOfTheEncoding)
{
    EXPECT_EQ(HCPercentEscapedQueryStringValueFromStringWithEncoding(
                  u":/?&=;+!@#$()',* aZ09-._~100%[]"_s, zek::NSUTF8StringEncoding),
              u"%3A%2F%3F%26%3D%3B%2B%21%40%23%24%28%29%27%2C%2A%20aZ09-._~100%25%5B%5D"_s);
    EXPECT_EQ(HCPercentEscapedQueryStringKeyFromStringWithEncoding(u"a[b].c&d=e"_s,
                                                                   zek::NSUTF8StringEncoding),
              u"a[b].c%26d%3De"_s);
    EXPECT_EQ(queryOf({{u"é"_s, u"😀"_s}}), u"%C3%A9=%F0%9F%98%80"_s);
    EXPECT_EQ(queryOf({{u"é"_s, u"ü"_s}}, zek::NSISOLatin1StringEncoding), u"%E9=%FC"_s);
    // Shift_JIS puts "[" (0x5B) inside a character; it is escaped with it.
    EXPECT_EQ(HCPercentEscapedQueryStringKeyFromStringWithEncoding(u"[ゼ]"_s,
                                                                   zek::NSShiftJISStringEncoding),
              u"[%83%5B]"_s);
}

} // namespace
