"""Makes docs/_static/napari-widget.png: the viewer with zentrel's dock widget and its three layers.

    QT_QPA_PLATFORM=offscreen xvfb-run -a python3 docs/_napari_screenshot.py

Needs the napari extra and a display with OpenGL (Xvfb is enough).
"""

from pathlib import Path

import napari
from PIL import Image
from qtpy.QtWidgets import QApplication

import zentrel
from zentrel.napari._widget import BinarizeWidget

OUT = Path(__file__).resolve().parent / "_static" / "napari-widget.png"

viewer = napari.Viewer(show=False)
viewer.window.resize(1200, 760)
image, _ = zentrel.uneven_scene((384, 512), seed=1, spacing=160)
viewer.add_image(image, name="scene")
widget = BinarizeWidget(viewer)
viewer.window.add_dock_widget(widget, name="Binarize (zentrel)")
widget.region_size.value = 48
widget.percent.value = 50  # some of the regions fail: red
widget.surface.value = widget.grid.value = True
widget.run()
while widget.running:
    QApplication.processEvents()
viewer.layers["scene objects"].opacity = 0.45
viewer.reset_view()
shot = viewer.screenshot(canvas_only=False, flash=False)
# 256 colours keep the picture small and its flat interface sharp.
Image.fromarray(shot[..., :3]).quantize(256, dither=Image.Dither.NONE).save(OUT, optimize=True)
print(OUT, OUT.stat().st_size, "bytes")
viewer.close()
