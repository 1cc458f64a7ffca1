"""PEM blocks, found in one pass: each BEGIN line is looked for once, and its
END from there on, so that no file of BEGIN lines without an END costs more
than one reading of it."""


def blocks(data, label):
    """The PEM blocks labelled LABEL (b"CERTIFICATE", b"X509 CRL") in DATA,
    each from its BEGIN line to its END line; text between them is passed
    over. A BEGIN with no END after it ends the search: no END follows it for
    any later BEGIN either."""
    begin, end = b"-----BEGIN " + label + b"-----", b"-----END " + label + b"-----"
    found, at = [], 0
    while True:
        start = data.find(begin, at)
        if start < 0:
            return found
        body = start + len(begin)
        if data[body:body + 1] == b"\r":
            body += 1
        if data[body:body + 1] != b"\n":
            at = body
            continue
        stop = data.find(end, body)
        if stop < 0:
            return found
        found.append(data[start:stop + len(end)])
        at = stop + len(end)
