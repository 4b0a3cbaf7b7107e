#pragma once

class QApplication;

// Applies the "Glow" style sheet carried in the program's resources. Returns false and leaves
// the default look when it cannot be loaded.
bool applyGlowTheme(QApplication& app);
