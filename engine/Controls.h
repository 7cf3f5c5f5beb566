// The engine's controls beyond the old sound API, for buffers made by DirectSoundCreate's device
// and for the headphones: what mixer/ calls besides DSound.h. Any thread.
#pragma once

#include "platform/dsound/DSound.h"
#include "platform/output/CueOutput.h"

#include <string>
#include <vector>

namespace engine {

// With keylock on, the buffer's frequency changes the tempo only and the song keeps its key.
// DSERR_CONTROLUNAVAIL for a buffer that is not a secondary buffer of the engine.
HRESULT SetKeylock(IDirectSoundBuffer* buffer, bool on);
// With cue on, the buffer's sound, before its volume and pan, is also sent to the headphones.
HRESULT SetCue(IDirectSoundBuffer* buffer, bool on);

// The headphones: where they play, the cue/room blend (0 = the cue only .. 1 = the room only) and
// their level (0..1).
void ChooseHeadphones(const output::CueTarget& target);
output::CueTarget ChosenHeadphones();
void SetHeadphonesMix(float blend, float level);
// Where the headphones can play: the sound server's sinks while the room plays through the server,
// else the PortAudio devices; the room's own device left out.
std::vector<output::CueTarget> HeadphonesChoices();

} // namespace engine
