#ifndef S3ACCESS_H
#define S3ACCESS_H

#include <QByteArray>
#include <QString>

// How S3 buckets are reached: the credentials, region and endpoint found
// where the field's tools look for them, s3:// addresses turned into URLs,
// and S3's reasons for refusing a request.
struct s3access
{
    QString accessKey;
    QString secretKey;
    QString sessionToken;
    QString region = QStringLiteral("us-east-1");
    QString endpoint;      // empty: AWS's own addresses

    // AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY (with AWS_SESSION_TOKEN),
    // else the profile AWS_PROFILE (else "default") of ~/.aws/credentials,
    // then of ~/.aws/config; the region and the endpoint likewise.
    static s3access fromEnvironment();

    bool signs() const { return !accessKey.isEmpty() && !secretKey.isEmpty(); }
    // The URL of s3://BUCKET/KEY...: path-style below the endpoint when one
    // is set, else AWS's virtual-hosted address; empty when no bucket is named.
    QString urlOf(const QString &address) const;
    // Whether requests to this http(s) URL are S3's, to be signed.
    bool serves(const QString &url) const;
    // The region a URL of AWS names in its host name, else the one found.
    QString regionOf(const QString &url) const;

    static bool isS3(const QString &address);
    // "Code (Message)" of an S3 error body, empty when it is not S3's XML.
    static QString errorOf(const QByteArray &body);
};

#endif
