// The right deck: position knob ImgJinduRight on 232..362 (130 pixels).
#pragma once

#include "decks/DeckController.h"

class TFormChannel2 : public TDeckController {
    Q_OBJECT
public:
    TFormChannel2(QObject* owner, TMxDSMixer* mixer, const TDeckWidgets& widgets)
        : TDeckController(owner, mixer, widgets, QStringLiteral("Channel(2)"), 232, 362)
    {
    }
};
