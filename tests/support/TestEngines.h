#pragma once

#include <QByteArray>

// Texts of the engine "tube" (title "Tube") that the download tests share,
// with "PORT" for TestFiles::writeEngine() to fill.
namespace TestEngines {

// No stage: the video is http://127.0.0.1:PORT/v/<id>.mp4.
QByteArray noStage();
// One stage: the page http://127.0.0.1:PORT/watch/<id> gives, from its first
// src="…", the text that fills the target.
QByteArray oneStage(const QByteArray &target, const QByteArray &ext);
// The watch page of oneStage() whose src is "<id>.bin".
QByteArray watchPage(const QByteArray &id);
// noStage() with that title and a search page,
// http://127.0.0.1:PORT/results-<page>.html?q=<word>, whose hits are
// <li class="hit"> items with a title, user, image and time.
QByteArray searching(const QByteArray &title);

} // namespace TestEngines
