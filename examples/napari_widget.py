"""
Binarizing in napari
====================

The ``napari`` extra (``pip install "zentrel[napari]"``) adds the dock
widget "Binarize (zentrel)" to napari's Plugins menu and the sample
"Unevenly lit scene (zentrel)" to File > Open Sample. This script opens the
viewer with both, binarizes the scene with the region grid and the threshold
surface, and leaves the window open.

It needs a display, so the documentation build shows it without running it;
the picture is a screenshot taken the same way.

.. image:: /_static/napari-widget.png
   :alt: napari with the zentrel dock widget, the scene, its objects as labels and the region grid
"""

# sphinx_gallery_thumbnail_path = '_static/napari-widget.png'

import napari

viewer = napari.Viewer()
viewer.open_sample("zentrel", "uneven_scene")
dock, widget = viewer.window.add_plugin_dock_widget("zentrel", "Binarize (zentrel)")

# %%
# The widget's fields, as a user would set them; "Binarize" runs off the GUI
# thread and adds "uneven scene objects" (Labels), "uneven scene threshold
# surface" (Image) and "uneven scene regions" (Shapes: green regions passed,
# with their thresholds; red ones failed, with their reasons).

widget.region_size.value = 48
widget.percent.value = 30
widget.surface.value = True
widget.grid.value = True
widget.run()

napari.run()
