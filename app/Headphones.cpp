// The headphones: each deck's cue switch on its title row, and the output's dialog, opened from the
// main window's right-click menu, with the choice kept in the data folder. UI thread only.
#include "app/Unit1.h"

#include "assets/Skin.h"
#include "decks/unitChannel.h"
#include "decks/unitChannel2.h"
#include "mixer/MxDSMixer.h"
#include "widgets/ImgBtn.h"

#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QMenu>
#include <QSlider>
#include <QToolTip>

#include <algorithm>
#include <cstdio>

namespace {

QPixmap CuePicture(const char* path)
{
    return QPixmap::fromImage(artwork::LoadForScreen(path));
}

} // namespace

void TFormMain::CreateHeadphones()
{
    for (auto [button, name, geometry, hint, deck] :
         {std::tuple(&BtnCueLeft, "BtnCueLeft", QRect(112, 37, 12, 10), "Hear the left song in the headphones (C)",
                     static_cast<TDeckController*>(FormChannel)),
          std::tuple(&BtnCueRight, "BtnCueRight", QRect(274, 37, 12, 10), "Hear the right song in the headphones (.)",
                     static_cast<TDeckController*>(FormChannel2))}) {
        auto* b = new TImgBtn(this);
        b->setObjectName(name);
        b->setGeometry(geometry);
        b->SetStretch(true);
        b->SetTransparent(true);
        b->setToolTip(hint);
        b->SetPicture(CuePicture(artwork::CueOff));
        b->SetPic(CuePicture(artwork::CueOff));
        b->SetPicUp(CuePicture(artwork::CueOn));
        b->SetPicDown(CuePicture(artwork::CueDown));
        b->OnClick = [this, b, deck](QObject*) { ToggleCue(b, deck); };
        *button = b;
    }
    const TSettings settings = LoadSettings(InExeFolder(SettingsFile));
    FHeadphones = settings.Headphones;
    FMixSettings = settings.Mix;
    ApplyHeadphones();
    setContextMenuPolicy(Qt::CustomContextMenu);
    connect(this, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        QMenu menu(this);
        menu.addAction("Headphones…", this, [this] { ShowHeadphonesDialog(); });
        menu.addAction("Mixer…", this, [this] { ShowMixerDialog(); });
        menu.addAction("Controllers…", this, [this] { ShowControllersDialog(); });
        QAction* waves = menu.addAction("Waveforms", this, [this](bool on) { ShowWaveforms(on); });
        waves->setCheckable(true);
        waves->setChecked(WaveformsWanted);
        menu.exec(mapToGlobal(at));
    });
}

void TFormMain::ApplyHeadphones()
{
    SetHeadphones({FHeadphones.Output.toStdString(), FHeadphones.Description.toStdString()}, FHeadphones.Blend / 100.0f,
                  FHeadphones.Level / 100.0f);
}

void TFormMain::ToggleCue(TImgBtn* button, TDeckController* deck)
{
    if (!deck)
        return;
    const bool on = !deck->Cue();
    deck->SetCue(on);
    const QPixmap look = CuePicture(on ? artwork::CueOn : artwork::CueOff);
    button->SetPicture(look);
    button->SetPic(look);
    if (on && FHeadphones.Output == "none" && !FSaidNoHeadphones) {
        FSaidNoHeadphones = true;
        const QString text = "No headphones output is set: right-click the window and choose Headphones…";
        std::fprintf(stderr, "DuoDeck: %s\n", qPrintable(text));
        QToolTip::showText(button->mapToGlobal(QPoint(0, button->height())), text, button);
    }
}

void TFormMain::ShowHeadphonesDialog()
{
    QDialog dialog(this);
    dialog.setObjectName("HeadphonesDialog");
    dialog.setWindowTitle("Headphones");
    auto* form = new QFormLayout(&dialog);
    auto* output = new QComboBox(&dialog);
    output->setObjectName("Output");
    output->addItem("None", "none");
    output->addItem("Split on the main output (left: headphones, right: room)", "split");
    constexpr int NameRole = Qt::UserRole + 1;
    for (const THeadphonesOutput& o : HeadphonesOutputs()) {
        output->addItem(QString::fromStdString(o.Name), QString::fromStdString(o.Output));
        output->setItemData(output->count() - 1, QString::fromStdString(o.Name), NameRole);
    }
    int at = output->findData(FHeadphones.Output);
    if (at < 0 && FHeadphones.Output != "none") {
        // The device kept from an earlier run is not there now; it stays chosen until changed.
        output->addItem(FHeadphones.Description + " (not found)", FHeadphones.Output);
        at = output->count() - 1;
        output->setItemData(at, FHeadphones.Description, NameRole);
    }
    output->setCurrentIndex(std::max(at, 0));
    auto* blend = new QSlider(Qt::Horizontal, &dialog);
    blend->setObjectName("Blend");
    blend->setRange(0, 100);
    blend->setValue(FHeadphones.Blend);
    blend->setToolTip("From the cued songs only (left) to the room's mix only (right)");
    auto* level = new QSlider(Qt::Horizontal, &dialog);
    level->setObjectName("Level");
    level->setRange(0, 100);
    level->setValue(FHeadphones.Level);
    level->setToolTip("The headphones' volume");
    form->addRow("Output", output);
    form->addRow("Cue / room", blend);
    form->addRow("Level", level);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, &dialog);
    form->addRow(buttons);
    connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    // Every change is heard at once and kept.
    const auto changed = [this, output, blend, level, NameRole] {
        FHeadphones.Output = output->currentData().toString();
        FHeadphones.Description = output->currentData(NameRole).toString();
        FHeadphones.Blend = blend->value();
        FHeadphones.Level = level->value();
        ApplyHeadphones();
        if (!SaveHeadphonesSettings(InExeFolder(SettingsFile), FHeadphones))
            std::fprintf(stderr, "DuoDeck: the headphones settings cannot be kept in %s\n", SettingsFile);
    };
    connect(output, &QComboBox::currentIndexChanged, &dialog, changed);
    connect(blend, &QSlider::valueChanged, &dialog, changed);
    connect(level, &QSlider::valueChanged, &dialog, changed);
    if (HeadphonesDialogExecute)
        HeadphonesDialogExecute(&dialog);
    else
        dialog.exec();
}
