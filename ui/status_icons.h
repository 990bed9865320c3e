#pragma once

#include <QIcon>
#include <QPixmap>

// The four status icons, 16 x 16 with alpha: 0 grey, 1 red, 2 yellow and
// 3 green balls. Other indices give the grey ball.
QPixmap statusIcon(int index);

// The program's icon: the installed theme icon, else the same picture drawn here.
QIcon programIcon();
