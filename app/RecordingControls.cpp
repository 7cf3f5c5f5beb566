// The mix recording controls of the main window: Record, Pause and Save, the temporary recording
// beside the executable, and the sound card's recording set-up at start. UI thread only.
#include "app/Unit1.h"

#include "platform/kernel/Exceptions.h"
#include "platform/kernel/Kernel.h"
#include "platform/ui/ErrorDisplay.h"
#include "record/AMixer.h"
#include "record/Audio.h"
#include "record/AudioRecord.h"
#include "widgets/ImgBtn.h"

#include <QFileDialog>

#include <cerrno>
#include <cstring>

namespace {

// The button shows `look` whether idle, hovered or pressed.
void SetLooks(TImgBtn* button, const QPixmap& look)
{
    button->SetPicture(look);
    button->SetPic(look);
    button->SetPicUp(look);
    button->SetPicDown(look);
}

} // namespace

void TFormMain::CreateRecorder()
{
    AudioRecord1 = std::make_unique<TAudioRecord>();
    AudioRecord1->SetRecBufferSize(4);
    AudioRecord1->SetRecChannels(LMODE::STEREO);
    AudioRecord1->SetRecSamplesPerSec(TSamplesPerSec::s48K);
    AudioRecord1->SetRecBitsperSample(TBitsperSample::bs16Bit);
    AudioRecord1->Mp3Quality = lQUALITY::HIGH;
    AudioRecord1->SetMp3BitRate(LBITRATE::b128);
    AudioRecord1->SetMp3MaxBitRate(LMAXBITRATE::m320);
    AudioRecord1->Mp3Private = false;
    AudioRecord1->Mp3CRC = true;
    AudioRecord1->Mp3CopyRight = false;
    AudioRecord1->Mp3Original = false;
    AudioRecord1->Mp3WriteVBRHeader = false;
    AudioRecord1->Mp3EnableVBR = false;
    AudioRecord1->Mp3VBRQuality = LVBRQUALITY::v6;
    AudioRecord1->SetEncBufferSize(0);
    AudioRecord1->OutType = TOutType::Mp3FileStream;
    // Does nothing, but the recorder writes captured data only while a data handler is assigned.
    AudioRecord1->OnData = [](void*, int64_t) {};
    // A full disk stopped the recording: the Record button shows it, and the take so far is kept.
    AudioRecord1->OnStoppedByFailure = [this] { ShowRecording(false); };

    Audio1 = std::make_unique<TAudio>();
    Audio1->Recorder()->TrigLevel = 0;
    Audio1->Recorder()->Triggered = false;
    Mixer = std::make_unique<TAudioMixer>();
    Mixer->SetMixerID(0);

    BtnRecord->OnClick = [this](QObject*) { ToggleRecording(); };
    BtnPause->OnClick = [this](QObject*) { BtnPauseClick(); };
    BtnSave->OnClick = [this](QObject*) { BtnSaveClick(); };
    OnCloseStopRecording = [this] { ToggleRecording(); };
}

void TFormMain::RecordingSetUp()
{
    // Item 7 of the wave-in multiplexer, "Stereo Mix" on this card: Record records the mix. The
    // level lands on another input, so the mix is not attenuated. A missing line is ignored.
    Audio1->MixerSettings()->SelectRecordSource(7);
    Mixer->SetVolume(1, 1, 35000, -1, 0);
}

void TFormMain::ShowRecording(bool on)
{
    SetLooks(BtnRecord, on ? ImgBtn2->Pic() : ImgBtn2->PicDown());
    Recording = on;
    BtnRecord->setToolTip(on ? "Stop Recording" : "Record");
}

void TFormMain::ToggleRecording()
{
    if (!Recording) {
        ShowRecording(true);
        const std::string temporary = InExeFolder(TemporaryRecordingFile).toStdString();
        if (FileExists(temporary))
            DeleteFile(temporary); // the recorder would ask before overwriting it
        AudioRecord1->FileName = InExeFolder("tem").toStdString();
        try {
            AudioRecord1->Start();
        } catch (...) {
            ShowRecording(false); // nothing is being recorded: the button says so, and the error is shown
            throw;
        }
        return;
    }
    ShowRecording(false);
    AudioRecord1->Stop();
}

void TFormMain::BtnPauseClick()
{
    if (!Recording)
        return;
    if (!RecordPaused) {
        SetLooks(BtnPause, ImgBtn3->Pic());
        RecordPaused = true;
        BtnPause->setToolTip("Resume Recording");
        AudioRecord1->Pause();
    } else {
        SetLooks(BtnPause, ImgBtn3->PicDown());
        RecordPaused = false;
        BtnPause->setToolTip("Pause Recording");
        AudioRecord1->Resume();
    }
}

void TFormMain::BtnSaveClick()
{
    if (Recording)
        ToggleRecording();
    if (!SaveDialog1) {
        SaveDialog1 = new QFileDialog(this);
        SaveDialog1->setObjectName("SaveDialog1");
        SaveDialog1->setNameFilter("*.mp3 (*.mp3)");
        SaveDialog1->setAcceptMode(QFileDialog::AcceptSave);
        SaveDialog1->setFileMode(QFileDialog::AnyFile);
    }
    const QStringList chosen = SaveDialog1Execute                         ? SaveDialog1Execute(SaveDialog1)
                               : SaveDialog1->exec() == QDialog::Accepted ? SaveDialog1->selectedFiles()
                                                                          : QStringList();
    const std::string temporary = InExeFolder(TemporaryRecordingFile).toStdString();
    if (!chosen.isEmpty()) {
        QString name = chosen.first();
        if (!name.contains(".mp3")) // case-sensitive: "mix.MP3" becomes "mix.MP3.mp3"
            name += ".mp3";
        if (FileExists(temporary) && !CopyFile(temporary, name.toStdString(), false)) {
            // Keep the recording, so that it can be saved somewhere else.
            ReportError("The recording could not be saved as \"" + name.toStdString() + "\": " + std::strerror(errno) +
                        ". It is kept until the next recording: choose Save again to save it elsewhere.");
            return;
        }
    }
    if (FileExists(temporary))
        DeleteFile(temporary);
}
