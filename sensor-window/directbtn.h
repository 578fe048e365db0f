#pragma once

#include <QPushButton>

class QLabel;

// One button of the direction pad. Its hidden label holds the pad index (1 to 9)
// that decides which acceleration a click sends to the sensor service.
class DirectBtn : public QPushButton
{
    Q_OBJECT

public:
    explicit DirectBtn(QWidget *parent = nullptr);
    ~DirectBtn() override;

    QLabel *indexLabel;

    // The acceleration text ("x:y:z", 11 characters) for a pad index, or an
    // empty text for an index outside 1 to 9.
    static QString accelerationFor(int index);

    void onClicked();
};
