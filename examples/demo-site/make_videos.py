#!/usr/bin/env python3
"""Generates the demo site's "video" files: files/<id>.mp4 for every watch page.

usage: make_videos.py SITE_DIR
The bytes are deterministic (seeded by the ID) so a download can be checked.
"""
import os
import random
import sys


def main():
    site = sys.argv[1]
    files = os.path.join(site, "files")
    os.makedirs(files, exist_ok=True)
    for name in sorted(os.listdir(os.path.join(site, "watch"))):
        video_id = name[: -len(".html")]
        path = os.path.join(files, video_id + ".mp4")
        if os.path.exists(path):
            continue
        rng = random.Random(video_id)
        size = rng.randint(1, 4) * 1024 * 1024 + rng.randint(0, 65535)
        with open(path, "wb") as f:
            f.write(rng.randbytes(size))


if __name__ == "__main__":
    main()
