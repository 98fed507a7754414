// Printing a job through the label engine: the job's IPP settings as the
// engine's options, its pages as the engine's pages, the printer bytes to
// PAPPL's device.
#ifndef VELLUM_APP_PRINT_H
#define VELLUM_APP_PRINT_H

#include <pappl/pappl.h>

#include <functional>
#include <string>
#include <vector>

#include "budget.h"
#include "engine.h"
#include "layout.h"
#include "models.h"
#include "raster_page.h"

namespace vellum_app {

// printer-darkness-configured at this value, with no print-darkness in the
// job, sends no darkness: the printer keeps its own, as the PPDs' default.
constexpr int kDarknessPrinterDefault = 50;

// The engine's options for a job of this model with these settings and
// the printer's driver attributes (which hold the owner's defaults of the
// vendor settings).
LabelOptions JobLabelOptions(const PrinterModel &model, const pappl_pr_options_t &options,
                             ipp_t *printer_attrs);

// The level (0 to 15) of a darkness of 0 to 100.
unsigned DarknessLevelOf(int darkness);

// The darkness level (0 to 15) the job asks for, or 16 to keep the
// printer's own; it travels in the page header's cupsCompression.
unsigned DarknessLevel(const pappl_pr_options_t &options);

// Opens the engine's job for a PAPPL job, once the printer is ready: its
// options, its printer data to the device, its messages to nowhere. False
// when it cannot, or when the job was cancelled while the printer was not
// ready.
bool OpenLabelJob(LabelJob &label, pappl_job_t *job, const pappl_pr_options_t &options,
                  pappl_device_t *device);
// Flushes and releases it; false when the printer did not get every byte.
bool CloseLabelJob(LabelJob &label, pappl_job_t *job, pappl_device_t *device);

// The document formats of printer programs.
constexpr char kZplFormat[] = "application/vnd.zebra-zpl";
constexpr char kTsplFormat[] = "application/x-tspl";

// Prints a printer program in the printer's language as it is, after the
// job's setup frames.
bool PrintRawProgram(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device);

// PAPPL's filter for JPEG documents: a damaged image aborts the job.
bool PrintJpeg(pappl_job_t *job, pappl_device_t *device, void *data);

// The job's label in points, whole as Ghostscript takes it, and in dots at
// the printer's resolution, as Ghostscript's cups device makes such a page.
Extent LabelPoints(const pappl_pr_options_t &options);
Extent LabelDots(const pappl_pr_options_t &options);

// The path of the job's document, copied once for the whole job (PAPPL
// frees its own copy when it removes the file); empty, with a log line,
// when the job has no document left. PAPPL 1.3.1 may start a job's thread
// just as the job is cancelled, which removes the document.
std::string DocumentPath(pappl_job_t *job);

// Logs why the job fails and shows it as the job's message; false, for
// the callback that ends the job.
bool FailJob(pappl_job_t *job, const std::string &why);

// Reads a whole document; false when it cannot be read or is longer than
// `most` bytes (errno EFBIG).
bool ReadDocument(const char *path, std::string *data, uint64_t most = kLongestProgram);

// The copies the job asks for (1 when it names none): the printer's own
// copy count, never repeated pages.
unsigned JobCopies(pappl_job_t *job);

// Logs how page `page` (from 1) was laid out, and says in the job's message
// where it does not print every label it holds on a label of its own.
void ReportLayout(pappl_job_t *job, unsigned page, pappl_scaling_t scaling,
                  const PageLayout &layout);

// Runs `print`, which prints through PAPPL's raster callbacks any number
// of times (as papplJobFilterImage does, once for each image), with the
// printer's job opened once around it: its pages print as the pages of one
// job. False when the job could not be opened, `print` failed or the
// printer did not get every byte.
bool PrintAsOneJob(pappl_job_t *job, const pappl_pr_options_t &options, pappl_device_t *device,
                   const std::function<bool()> &print);

// PAPPL's filter for PNG documents: a damaged image aborts the job.
bool PrintPng(pappl_job_t *job, pappl_device_t *device, void *data);

// PAPPL's filter for PDF documents: rasterises with Ghostscript and prints
// every page through the engine.
bool PrintPdf(pappl_job_t *job, pappl_device_t *device, void *data);

// Runs one of a job's callbacks so that nothing it throws leaves it: a
// failure (memory that cannot be had, above all) aborts this job only,
// saying so, and the server goes on.
bool Contained(pappl_job_t *job, const std::function<bool()> &call);

// Sets the raster and raw printing callbacks of a driver.
void SetPrintCallbacks(const PrinterModel &model, pappl_pr_driver_data_t *data);

} // namespace vellum_app

#endif
