"""s3server.py ROOT LOG [--key ID:SECRET[:TOKEN]]... [--public BUCKET]...

A small S3-compatible server of the tests' own on 127.0.0.1: the folders
under ROOT are its buckets, addressed path-style (/BUCKET/KEY), served by
GET and HEAD with Range.  Every signed request's AWS Signature Version 4
is checked as S3 checks it (the algorithm is first checked against AWS's
documented example); requests without one are served from the --public
buckets only.  The chunks (keys other than metadata) of a bucket named
"denied" are refused with S3's AccessDenied, those of one named "textonly"
with a text body, not S3's XML.  Prints its port on the first line; writes
"METHOD PATH STATUS signed/REGION|anonymous RANGE" to LOG for every request.
A token "expired" is known but expired."""
import argparse
import datetime
import hashlib
import hmac
import http.server
import os
import re
import sys
import urllib.parse

EMPTY = hashlib.sha256(b'').hexdigest()


def hmac256(key, text):
    return hmac.new(key, text.encode(), hashlib.sha256).digest()


def signature(secret, method, path, query, headers, signed, payload, amzdate, scope):
    """The signature of a request: headers maps lower-case names to values."""
    canonical = '\n'.join([
        method,
        urllib.parse.quote(urllib.parse.unquote(path), safe='/~'),
        '&'.join(sorted('%s=%s' % (urllib.parse.quote(k, safe='~'), urllib.parse.quote(v, safe='~'))
                        for k, v in urllib.parse.parse_qsl(query, keep_blank_values=True))),
        ''.join('%s:%s\n' % (h, ' '.join(headers.get(h, '').split())) for h in signed),
        ';'.join(signed),
        payload])
    to_sign = '\n'.join(['AWS4-HMAC-SHA256', amzdate, scope, hashlib.sha256(canonical.encode()).hexdigest()])
    key = ('AWS4' + secret).encode()
    for part in scope.split('/'):
        key = hmac256(key, part)
    return hmac.new(key, to_sign.encode(), hashlib.sha256).hexdigest()


# AWS's example: GET /test.txt of examplebucket, bytes 0 to 9.
assert signature('wJalrXUtnFEMI/K7MDENG/bPxRfiCYEXAMPLEKEY', 'GET', '/test.txt', '',
                 {'host': 'examplebucket.s3.amazonaws.com', 'range': 'bytes=0-9',
                  'x-amz-content-sha256': EMPTY, 'x-amz-date': '20130524T000000Z'},
                 ['host', 'range', 'x-amz-content-sha256', 'x-amz-date'], EMPTY, '20130524T000000Z',
                 '20130524/us-east-1/s3/aws4_request') == 'f0e8bdb87c964420e857bd35b5d6ed310bd44f0170aba48dd91039c6036bdb41'

AUTH = re.compile(r'AWS4-HMAC-SHA256 Credential=([^/]+)/(\d{8})/([^/]+)/s3/aws4_request, ?'
                  r'SignedHeaders=([a-z0-9;-]+), ?Signature=([0-9a-f]{64})$')


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = 'HTTP/1.1'

    def log_message(self, *args):
        pass

    def refuse(self, status, code, message):
        body = ('<?xml version="1.0" encoding="UTF-8"?>\n<Error><Code>%s</Code><Message>%s</Message>'
                '<RequestId>0</RequestId></Error>' % (code, message)).encode()
        self.answer(status, body, 'application/xml')

    def answer(self, status, body, kind='application/octet-stream', extra=()):
        self.send_response(status)
        self.send_header('Content-Type', kind)
        self.send_header('Content-Length', str(len(body)))
        for name, value in extra:
            self.send_header(name, value)
        self.end_headers()
        if self.command != 'HEAD':
            self.wfile.write(body)
        with open(self.server.log, 'a') as log:
            log.write('%s %s %d %s %s\n' % (self.command, self.path, status, self.how, self.headers.get('Range', '-')))

    def check(self):
        """None when the request may be served, else why not."""
        headers = {k.lower(): v for k, v in self.headers.items()}
        auth = headers.get('authorization')
        bucket = urllib.parse.urlsplit(self.path).path.split('/')[1]
        if auth is None:
            self.how = 'anonymous'
            return None if bucket in self.server.public else (403, 'AccessDenied', 'Access Denied')
        m = AUTH.match(auth)
        if not m:
            return 400, 'AuthorizationHeaderMalformed', 'The authorization header is malformed'
        key, day, region, signed, given = m.groups()
        self.how = 'signed/' + region
        if key not in self.server.keys:
            return 403, 'InvalidAccessKeyId', 'The AWS Access Key Id you provided does not exist in our records.'
        secret, token = self.server.keys[key]
        signed = signed.split(';')
        for needed in ('host', 'x-amz-date', 'x-amz-content-sha256'):
            if needed not in signed or needed not in headers:
                return 400, 'InvalidRequest', 'Missing required header for this request: ' + needed
        amzdate = headers['x-amz-date']
        try:
            when = datetime.datetime.strptime(amzdate, '%Y%m%dT%H%M%SZ').replace(tzinfo=datetime.timezone.utc)
        except ValueError:
            return 403, 'AccessDenied', 'AWS authentication requires a valid Date or x-amz-date header'
        if abs((datetime.datetime.now(datetime.timezone.utc) - when).total_seconds()) > 900 or day != amzdate[:8]:
            return 403, 'RequestTimeTooSkewed', 'The difference between the request time and the current time is too large.'
        url = urllib.parse.urlsplit(self.path)
        if not hmac.compare_digest(given, signature(secret, self.command, url.path, url.query, headers, signed,
                                                    headers['x-amz-content-sha256'], amzdate,
                                                    '%s/%s/s3/aws4_request' % (day, region))):
            return 403, 'SignatureDoesNotMatch', ('The request signature we calculated does not match the signature '
                                                  'you provided. Check your key and signing method.')
        sent = headers.get('x-amz-security-token')
        if sent == 'expired':
            return 400, 'ExpiredToken', 'The provided token has expired.'
        if token and (sent != token or 'x-amz-security-token' not in signed):
            return 403, 'InvalidToken', 'The provided token is malformed or otherwise invalid.'
        return None

    def do_HEAD(self):
        self.do_GET()

    def do_GET(self):
        self.how = '-'
        refusal = self.check()
        if refusal:
            return self.refuse(*refusal)
        parts = urllib.parse.unquote(urllib.parse.urlsplit(self.path).path).split('/', 2)
        bucket, key = parts[1], parts[2] if len(parts) > 2 else ''
        if not bucket or bucket.startswith('.') or not os.path.isdir(os.path.join(self.server.root, bucket)):
            return self.refuse(404, 'NoSuchBucket', 'The specified bucket does not exist')
        chunk = not re.search(r'(^|/)(\.zattrs|\.zarray|\.zgroup|zarr\.json)$', key)
        if chunk and bucket == 'denied':
            return self.refuse(403, 'AccessDenied', 'Access Denied')
        if chunk and bucket == 'textonly':
            return self.answer(403, b'Forbidden\n', 'text/plain')
        path = os.path.join(self.server.root, bucket, key)
        if '..' in key.split('/') or not os.path.isfile(path):
            return self.refuse(404, 'NoSuchKey', 'The specified key does not exist.')
        with open(path, 'rb') as f:
            data = f.read()
        wanted = re.match(r'bytes=(\d*)-(\d*)$', self.headers.get('Range', ''))
        if not wanted:
            return self.answer(200, data)
        first, last = wanted.groups()
        start = len(data) - int(last) if not first else int(first)
        end = len(data) - 1 if not first or not last else min(int(last), len(data) - 1)
        start = max(start, 0)
        if start >= len(data):
            return self.refuse(416, 'InvalidRange', 'The requested range is not satisfiable')
        self.answer(206, data[start:end + 1], extra=[('Content-Range', 'bytes %d-%d/%d' % (start, end, len(data)))])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('root')
    parser.add_argument('log')
    parser.add_argument('--key', action='append', default=[])
    parser.add_argument('--public', action='append', default=[])
    args = parser.parse_args()
    server = http.server.ThreadingHTTPServer(('127.0.0.1', 0), Handler)
    server.root, server.log, server.public = args.root, args.log, set(args.public)
    server.keys = {}
    for k in args.key:
        parts = k.split(':')
        server.keys[parts[0]] = (parts[1], parts[2] if len(parts) > 2 else None)
    print(server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == '__main__':
    sys.exit(main())
