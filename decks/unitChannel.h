// The left deck: position knob ImgJinduLeft on 24..152 (128 pixels).
#pragma once

#include "decks/DeckController.h"

class TFormChannel : public TDeckController {
    Q_OBJECT
public:
    TFormChannel(QObject* owner, TMxDSMixer* mixer, const TDeckWidgets& widgets)
        : TDeckController(owner, mixer, widgets, QStringLiteral("Channel(1)"), 24, 152)
    {
    }
};
