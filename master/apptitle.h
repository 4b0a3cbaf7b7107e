#pragma once

#include <QString>

// The application title: the program file's name without folders, cut at its first ".",
// every character after the first lower-cased. Names the window placement file and
// captions the plain message boxes.
QString applicationTitleFor(const QString& programFile);

// The title of the running program, from its executable's file name.
QString applicationTitle();
