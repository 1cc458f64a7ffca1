"""The release tooling: building the committed tree afresh, signing it, and
proving that a file is that build plus one intact Authenticode signature.

Run it with Debian's own interpreter in isolated mode (`/usr/bin/python3 -I`),
so that no PYTHONPATH, user site or working directory can put modules of
someone else's in front of these."""
