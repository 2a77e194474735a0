#include "app/StartUp.h"

#include <QTabWidget>
#include <iterator>

#include "ui/MainWindow.h"
#include "ui/QueueGrid.h"
#include "ui/SpinEdit.h"

namespace tarvix {

namespace {

struct TColumn {
  const char* title;
  int width;
};

constexpr TColumn kColumns[] = {{"#", 20}, {"IP", 100}, {"port", 50}, {"ID", 25}, {"Q size", 40}, {"#packets", 60}};

}  // namespace

void CreationStep(TForm1& Form1) {
  TWidgetSteps widgets;
  widgets.CopyTraceChecks = [&] { Form1.CopyTraceChecks(); };
  widgets.TitleGrid = [&] {
    for (int column = 0; column < static_cast<int>(std::size(kColumns)); ++column) {
      Form1.sg->SetCell(column, 0, kColumns[column].title);
      Form1.sg->SetColumnWidth(column, kColumns[column].width);
    }
  };
  widgets.ShowServerPort = [&](std::uint16_t port) { Form1.ServerPortSpin->SetValue(port); };
  widgets.ShowReplyTimeout = [&](std::int32_t milliseconds) {
    Form1.Timeoutspin->SetValue(milliseconds);
    return Form1.Timeoutspin->Value();
  };
  widgets.ShowQueuePage = [&] { Form1.PageControl1->setCurrentIndex(1); };
  Form1.Host.Create(widgets);
}

void CloseStep(TForm1& Form1) { Form1.Host.Close(); }

}  // namespace tarvix
