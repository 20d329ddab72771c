#pragma once

namespace drv {

// Numbers written to the error log "error.txt"; each names the place that failed.
enum ErrorCode : int {
  kErrorLinkCheck = 9,          // judging the station link or redrawing its indicator
  kErrorSpoolName = 11,         // forming a spool file name
  kErrorSpoolWrite = 12,        // a spool file could not be written; the record is kept in memory
  kErrorSpoolFileDamaged = 13,  // a spool file could not be read back; it was set aside as .bad
  kErrorRtsToggle = 14,         // the station's port can key RTS neither itself nor per write
  kErrorRecordPassedOver = 15,  // the server kept refusing a record while it took others; the
                                // record was put behind them
  kErrorFramesRefused = 16,     // the station's frames go unanswered: the spool directory takes no
                                // files and memory holds as many records as it may
  kErrorSpoolDirectoryTaken = 17,  // another driver holds the spool directory; this one holds
                                   // its records in memory and does not touch the files there
  kErrorPortSelection = 19,        // saving the chosen port or reporting it to the server
  kErrorHealthFile = 20,           // the health file could not be written; logged once until a
                                   // write succeeds again
};

}  // namespace drv
