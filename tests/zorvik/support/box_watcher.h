// Answers the message boxes a test's code under test shows, as a user would:
// a thread finds each box of this process, records its caption and text, and
// presses the button the test asked for (OK for a box without that button).
#pragma once

#include <windows.h>

#include <string>
#include <vector>

struct SeenBox {
    std::string caption;
    std::string text;
    int pressed;
};

// Starts watching; answer is IDOK, IDCANCEL, IDRETRY... for every box until
// the next Answer() call.
void BoxWatcherStart(int answer = IDCANCEL);
void BoxWatcherAnswer(int answer);
// Answers the next `count` boxes with `first`, then the rest with the default.
void BoxWatcherAnswerNext(int first, int count);
void BoxWatcherStop();
// The boxes seen since the last call, oldest first.
std::vector<SeenBox> BoxWatcherTake();
