#pragma once

// The loudest sample of each source of a recording over a short span, 0 to
// 1: what the level meters show, so a silent microphone is seen at once.
struct InputLevels
{
    float systemAudio = 0;
    float microphone = 0;
};
