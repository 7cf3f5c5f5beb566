#include "controllers/LearnDialog.h"

#include "controllers/MidiHub.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

QString Describe(const TMidiBinding& b)
{
    return QString("%1 %2, channel %3 of %4")
        .arg(b.Note ? "note" : "control")
        .arg(b.Number)
        .arg(b.Channel + 1)
        .arg(QString::fromStdString(b.Device));
}

const char* TargetText(TKeyTarget target)
{
    return target == TKeyTarget::Left ? "Left deck" : target == TKeyTarget::Right ? "Right deck" : "Mixer";
}

} // namespace

bool TLearnDialog::MixerAction(TKeyAction action)
{
    return action == TKeyAction::Crossfader || action == TKeyAction::CrossfaderCentre || action == TKeyAction::Record ||
           action == TKeyAction::PauseRecording;
}

TLearnDialog::TLearnDialog(TMidiHub& hub, QWidget* parent) : QDialog(parent), FHub(hub)
{
    setObjectName("ControllersDialog");
    setWindowTitle("Controllers");
    auto* layout = new QVBoxLayout(this);
    Actions = new QListWidget(this);
    Actions->setObjectName("Actions");
    Actions->setMinimumSize(420, 360);
    LearnButton = new QPushButton("Learn", this);
    LearnButton->setObjectName("Learn");
    Status = new QLabel(this);
    Status->setObjectName("Status");
    Status->setWordWrap(true);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    layout->addWidget(Actions);
    layout->addWidget(LearnButton);
    layout->addWidget(Status);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(LearnButton, &QPushButton::clicked, this, [this] { StartLearning(); });
    connect(Actions, &QListWidget::itemDoubleClicked, this, [this] { StartLearning(); });
    Fill();
    const std::vector<std::string> devices = FHub.Devices();
    QStringList names;
    for (const std::string& d : devices)
        names << QString::fromStdString(d);
    Status->setText(names.isEmpty() ? "No controller is connected."
                                    : "Connected: " + names.join(", ") + ". Pick an action and press Learn.");
}

TLearnDialog::~TLearnDialog()
{
    FHub.CancelLearn();
}

void TLearnDialog::Fill()
{
    const int row = Actions->currentRow();
    Actions->clear();
    const std::vector<TMidiBinding> bindings = FHub.Bindings();
    for (TKeyTarget target : {TKeyTarget::Left, TKeyTarget::Right, TKeyTarget::Mixer})
        for (const TActionInfo& info : ActionTable) {
            if (MixerAction(info.Action) != (target == TKeyTarget::Mixer))
                continue;
            QString text = QString("%1: %2").arg(TargetText(target), info.Name);
            for (const TMidiBinding& b : bindings)
                if (b.Target == target && b.Action == info.Action && b.Unit == info.Unit)
                    text += "  ←  " + Describe(b);
            auto* item = new QListWidgetItem(text, Actions);
            item->setData(Qt::UserRole, static_cast<int>(target));
            item->setData(Qt::UserRole + 1, static_cast<int>(&info - ActionTable));
        }
    Actions->setCurrentRow(std::max(row, 0));
}

void TLearnDialog::StartLearning()
{
    const QListWidgetItem* item = Actions->currentItem();
    if (!item)
        return;
    const auto target = static_cast<TKeyTarget>(item->data(Qt::UserRole).toInt());
    const TActionInfo& action = ActionTable[item->data(Qt::UserRole + 1).toInt()];
    Status->setText(QString("Move a control for \"%1\" on the controller…").arg(item->text().section("  ←", 0, 0)));
    FHub.Learn(target, action, [this](const TMidiBinding& b) {
        Fill();
        Status->setText("Bound: " + Describe(b) + ".");
    });
}
