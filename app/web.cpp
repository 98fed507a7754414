// What the owner reads in the web pages PAPPL draws from the drivers: the
// names of the label sizes and of the owner's printer settings and their
// choices, and the "Printer Default" choice of the fields that PAPPL's forms
// cannot show.
#include "web.h"

#include <cctype>
#include <cstdio>
#include <iterator>
#include <string>

#include "print.h"
#include "printer_status.h"
#include "system.h"

namespace vellum_app {

namespace {

// Names as in the PPDs, keyed as PAPPL looks them up: an attribute's name,
// and the name and a keyword joined by a dot.
constexpr char kStrings[] = R"strings("media.oe_4x6-label_4x6in" = "4 x 6 in";
"media.oe_4x4-label_4x4in" = "4 x 4 in";
"media.oe_4x3-label_4x3in" = "4 x 3 in";
"media.oe_4x2-label_4x2in" = "4 x 2 in";
"media.oe_3x2-label_3x2in" = "3 x 2 in";
"media.oe_2x1-label_2x1in" = "2 x 1 in";
"media.oe_price-tag_1.25x0.25in" = "1.25 x 0.25 in";
"media.om_100x150mm_100x150mm" = "100 x 150 mm";
"media.om_60x40mm_60x40mm" = "60 x 40 mm";
"media.om_50x30mm_50x30mm" = "50 x 30 mm";
"label-print-mode" = "Printing Method";
"label-print-mode.printer-default" = "Printer Default";
"label-print-mode.direct-thermal" = "Direct thermal";
"label-print-mode.thermal-transfer" = "Thermal transfer";
"label-print-mode.automatic" = "Automatic";
"label-feed-offset" = "Feed Offset (steps of 8 dots)";
"label-feed-offset.printer-default" = "Printer Default";
"label-feed-offset.minus-20" = "-20";
"label-feed-offset.minus-10" = "-10";
"label-feed-offset.minus-5" = "-5";
"label-feed-offset.minus-2" = "-2";
"label-feed-offset.minus-1" = "-1";
"label-feed-offset.0" = "0";
"label-feed-offset.1" = "+1";
"label-feed-offset.2" = "+2";
"label-feed-offset.5" = "+5";
"label-feed-offset.10" = "+10";
"label-feed-offset.20" = "+20";
"label-feed-offset.30" = "+30";
"label-command-set" = "Printer Language";
"label-command-set.zpl" = "ZPL";
"label-command-set.tspl" = "TSPL";
"label-density" = "Print Density";
"label-density.neutral" = "Neutral (true bar widths)";
"label-density.normal" = "Normal";
"label-density.lighter" = "Lightest";
"label-density.light" = "Lighter";
"label-density.thicken" = "Bolder";
"label-density.thicker" = "Boldest";
"label-negative" = "Negative Print";
"label-negative.off" = "Off (black prints black)";
"label-negative.on" = "On (inverted)";
"label-tear-off" = "Tear-Off Position";
"label-tear-off.minus-3" = "-3 mm";
"label-tear-off.minus-2" = "-2 mm";
"label-tear-off.minus-1" = "-1 mm";
"label-tear-off.0" = "0 mm";
"label-tear-off.1" = "+1 mm";
"label-tear-off.2" = "+2 mm";
"label-tear-off.3" = "+3 mm";
"label-perforated-media" = "Perforated Media";
"label-perforated-media.off" = "Off (tracking as on the Media page)";
"label-perforated-media.on" = "Perforated";
)strings";

// The languages PAPPL's own pages come in. A browser asking for one of them
// gets these English names rather than raw keywords.
// Their strings files are listed by path, so in this order.
constexpr const char *kLanguages[] = {"de", "en", "es", "fr", "it", "ja", "pl", "tr"};

// The printer's darkness (printer-darkness-configured 50) and media
// tracking (none) can be the printer's own, which the forms' lists have no
// choice for: the browser would show the first choice (PAPPL 1.4: the
// darkness level nearest to 50 %, 53 %) and saving the page would send it.
// The script gives such a list a "Printer Default" choice whose value keeps
// the printer's own setting: a tracking list where PAPPL selected no choice,
// the darkness list of a printer that /vellum-own-darkness.js (loaded just
// before) names.
//
// On a printer's page, the printer's own condition in words ("Out of
// labels"), read from /vellum-status, goes under the title: PAPPL's page
// shows its state reasons in its own words ("Out of paper.").
std::string FooterScript() {
  return R"js(<script src="/vellum-own-darkness.js"></script><script>
var vellumPrinter = decodeURIComponent(location.pathname.split('/')[1] || '');
(function () {
  var title = document.querySelector('h1.title, h2.title');
  if (!vellumPrinter || !title) return;
  fetch('/vellum-status').then(function (r) { return r.text(); }).then(function (text) {
    text.split('\n').forEach(function (line) {
      var fields = line.split('\t');
      if (fields[0] != vellumPrinter || !fields[1]) return;
      var words = document.createElement('p');
      words.className = 'vellum-condition';
      words.textContent = fields[1];
      title.parentNode.insertBefore(words, title.nextSibling);
    });
  });
})();
// Where the settings ask for the web password, this machine's browser
// signs in by itself (once a page).
if (/^(localhost|127\.|\[::1\])/.test(location.hostname) &&
    document.querySelector('input[type="password"][name="password"]') &&
    sessionStorage.getItem('vellum-sign-in') != location.pathname) {
  sessionStorage.setItem('vellum-sign-in', location.pathname);
  location.href = '/vellum-sign-in?then=' + encodeURIComponent(location.pathname);
}
document.querySelectorAll('select[name="print-darkness"],select[name$="-tracking"]').forEach(function (list) {
  if (list.name == 'print-darkness' ? (window.vellumOwnDarkness || []).indexOf(vellumPrinter) < 0
                                     : list.querySelector('option[selected]')) return;
  var own = document.createElement('option');
  own.value = list.name == 'print-darkness' ? ')js" +
         std::to_string(kDarknessPrinterDefault) + R"js(' : 'printer-default';
  own.text = 'Printer Default';
  list.insertBefore(own, list.firstChild);
  list.selectedIndex = 0;
});
</script>)js";
}

// /vellum-status: a line "PAGE<TAB>WORDS" for each printer that reports a
// fault, PAGE being the printer's page in the web interface ("Zebra_ZD420"
// for the printer "Zebra ZD420": PAPPL writes reserved characters and
// spaces in its paths as '_').
bool ServeConditions(pappl_client_t *client, void * /*data*/) {
  std::string text;
  papplSystemIteratePrinters(
      papplClientGetSystem(client),
      [](pappl_printer_t *printer, void *data) {
        const std::string words = ConditionWords(printer);
        char path[256];
        if (!words.empty() && papplPrinterGetPath(printer, nullptr, path, sizeof path) != nullptr)
          *static_cast<std::string *>(data) += std::string(path + 1) + "\t" + words + "\n";
      },
      &text);
  if (!papplClientRespond(client, HTTP_STATUS_OK, nullptr, "text/plain", 0, text.size()))
    return false;
  return httpWrite2(papplClientGetHTTP(client), text.data(), text.size()) >= 0;
}

// A name as a JavaScript string: letters, digits, - and _ as they are,
// every other character escaped.
std::string ScriptString(const std::string &text) {
  std::string quoted = "\"";
  for (const unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '_') {
      quoted += static_cast<char>(c);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      quoted += escaped;
    }
  }
  return quoted + "\"";
}

// /vellum-own-darkness.js: the pages of the printers that keep their own
// darkness, for the footer's script.
bool ServeOwnDarkness(pappl_client_t *client, void * /*data*/) {
  std::string names;
  ForEachPrinter(papplClientGetSystem(client), [&names](pappl_printer_t *printer) {
    pappl_pr_driver_data_t driver;
    papplPrinterGetDriverData(printer, &driver);
    char path[256];
    if (driver.darkness_configured == kDarknessPrinterDefault &&
        papplPrinterGetPath(printer, nullptr, path, sizeof path) != nullptr)
      names += (names.empty() ? "" : ", ") + ScriptString(path + 1);
  });
  const std::string text = "var vellumOwnDarkness = [" + names + "];\n";
  if (!papplClientRespond(client, HTTP_STATUS_OK, nullptr, "text/javascript", 0, text.size()))
    return false;
  return httpWrite2(papplClientGetHTTP(client), text.data(), text.size()) >= 0;
}

} // namespace

void SetUpWebPages(pappl_system_t *system, const std::string &notice) {
  papplSystemAddResourceCallback(system, "/vellum-status", "text/plain", ServeConditions, nullptr);
  papplSystemAddResourceCallback(system, "/vellum-own-darkness.js", "text/javascript",
                                 ServeOwnDarkness, nullptr);
  for (const char *language : kLanguages) {
    const std::string path = std::string("/vellum-") + language + ".strings";
    papplSystemAddStringsData(system, path.c_str(), language, kStrings);
  }
  std::string footer = "Vellum label printer application " VELLUM_VERSION + FooterScript();
  if (!notice.empty())
    footer = "<strong class=\"vellum-notice\">" + notice + "</strong><br>\n" + footer;
  papplSystemSetFooterHTML(system, footer.c_str());
}

const std::vector<const char *> &PageLanguages() {
  static const std::vector<const char *> languages(std::begin(kLanguages), std::end(kLanguages));
  return languages;
}

} // namespace vellum_app
