// Read TRX and Write TRX: all 1024 settings between the transceiver and SettingsImage.
#pragma once

// Start the job on a worker thread of its own and return at once.
void StartReadJob();
void StartWriteJob();

// The jobs' bodies, run on the worker thread.
void ReadJob();
void WriteJob();
