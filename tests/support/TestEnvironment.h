// Defaults every test process starts with, whoever runs it (ctest, a shell, test discovery at build
// time): Qt's offscreen platform unless another is asked for, and the null sound backend. Test
// mains call it first thing.
#pragma once

void SetTestEnvironment();
