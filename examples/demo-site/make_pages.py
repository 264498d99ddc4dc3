#!/usr/bin/env python3
"""Writes the demo site's static pages into site/ (run once; the pages are kept in the repo)."""
import html
import os

HERE = os.path.dirname(os.path.abspath(__file__))
SITE = os.path.join(HERE, "site")

# word -> pages of hits: (id, title as the site writes it, time, user)
HITS = {
    "cats": [
        [
            ("cat-piano", "<b>Cat</b> plays the piano", "0:42", "mimi"),
            ("cat-box", "If it fits, I sits &amp; sleeps", "1:15", "tama"),
            ("cat-laser", "Laser pointer &quot;chase&quot; compilation", "3:07", "kuro"),
            ("kitten-steps", "Kitten takes its first steps", "0:58", "hana"),
            ("cat-cucumber", "Cat vs. cucumber", "0:21", "mimi"),
        ],
        [
            ("cat-window", "Cat watches the rain", "5:00", "sora"),
            ("cat-yarn", "Yarn ball &gt; everything", "2:12", "tama"),
        ],
    ],
    "dogs": [
        [
            ("dog-frisbee", "Dog catches a frisbee", "0:35", "pochi"),
            ("dog-snow", "First snow&nbsp;day", "1:48", "shiro"),
        ],
    ],
}

PAGE = """<html>
<head><title>Demo video site: {word}</title></head>
<body>
<h1>Videos for "{word}", page {page}</h1>
<ul class="results">
{items}
</ul>
</body>
</html>
"""

ITEM = """<li class="hit" data-n="{n}"><a href="/watch/{id}.html"><img src="/thumbs/{id}.jpg" alt=""></a>
 <span class="title">{title}</span> <span class="time">{time}</span>
 <span class="user">{user}</span> <span class="id">{id}</span></li>"""

WATCH = """<html>
<head><title>{title}</title></head>
<body>
<video controls src="/files/{id}.mp4"></video>
<p>{title}</p>
</body>
</html>
"""


def write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        f.write(text)


def main():
    for word, pages in HITS.items():
        for page, hits in enumerate(pages):
            items = "\n".join(
                ITEM.format(n=i + 1, id=h[0], title=h[1], time=h[2], user=h[3])
                for i, h in enumerate(hits)
            )
            write(os.path.join(SITE, "search", f"{word}_{page}.html"),
                  PAGE.format(word=word, page=page, items=items))
            for h in hits:
                write(os.path.join(SITE, "watch", f"{h[0]}.html"),
                      WATCH.format(id=h[0], title=html.escape(h[1], quote=False)))
    write(os.path.join(SITE, "index.html"),
          "<html><body><p>Zindle demo site. Search for \"cats\" or \"dogs\".</p></body></html>\n")


if __name__ == "__main__":
    main()
