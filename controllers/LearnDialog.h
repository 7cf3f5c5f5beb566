// Learn: the actions listed with what each is bound to; pick one, press Learn, move a control on
// the controller, and it is bound and kept. UI thread.
#pragma once

#include "controllers/Bindings.h"

#include <QDialog>

class QLabel;
class QListWidget;
class QPushButton;
class TMidiHub;

class TLearnDialog : public QDialog {
    Q_OBJECT
public:
    TLearnDialog(TMidiHub& hub, QWidget* parent = nullptr);
    ~TLearnDialog() override;

    QListWidget* Actions = nullptr; // one row per deck action and side, then the mixer's
    QPushButton* LearnButton = nullptr;
    QLabel* Status = nullptr;

    // Where the deck's or the mixer's action goes: the mixer's own actions have no deck.
    static bool MixerAction(TKeyAction action);

private:
    void Fill();
    void StartLearning();

    TMidiHub& FHub;
};
