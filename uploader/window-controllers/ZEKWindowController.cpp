#include "ZEKWindowController.h"

ZEKWindowController::ZEKWindowController(QWidget *window, QObject *parent)
    : QObject(parent), window_(window)
{}

ZEKWindowController::~ZEKWindowController()
{
    delete window_;
}

void ZEKWindowController::showWindow()
{
    window_->show();
    window_->raise();
    window_->activateWindow();
}

void ZEKWindowController::close()
{
    window_->hide();
}
