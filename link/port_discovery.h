#pragma once

// Lists in PortCombo every name from COM1 to COM99 that opens with PortSettings.
void DiscoverPorts();
