#include "playlist/UnitList.h"

#include "assets/Skin.h"

#include <QLabel>
#include <QPixmap>

TFormList* FormList = nullptr;

TFormList::TFormList(QWidget* parent) : QWidget(parent, Qt::Window | Qt::FramelessWindowHint)
{
    FormList = this;
    setObjectName("FormList");
    setWindowTitle("DuoDeck Playlists");
    // Closing the main window ends the program even though this one is still open.
    setAttribute(Qt::WA_QuitOnClose, false);
    setFixedSize(ClientWidth, ClientHeight);
    move(205, 356);

    ImgForm = new QLabel(this);
    ImgForm->setObjectName("ImgForm");
    ImgForm->move(0, 0);
    FormCreate();
}

TFormList::~TFormList()
{
    if (FormList == this)
        FormList = nullptr;
}

void TFormList::FormCreate()
{
    const QImage skin = artwork::Load(artwork::SkinList);
    ImgForm->setPixmap(QPixmap::fromImage(skin));
    ImgForm->resize(skin.size()); // automatic size
    if (const auto region = CreateSkinRegion(skin))
        setMask(*region);
    else
        clearMask();
}
