"""The dock widget: binarize the chosen image layer off the GUI thread.

    widget = BinarizeWidget(viewer)
    viewer.window.add_dock_widget(widget)
    widget.run()          # what the Binarize button does; returns the worker

Layers added: "<name> objects" (Labels), and when asked "<name> threshold
surface" (Image) and "<name> regions" (Shapes). A failure (no region passed,
an image smaller than a region, ...) is shown in the widget and as a napari
notification; nothing raises.
"""

from __future__ import annotations

import napari.viewer
import numpy as np
from magicgui.widgets import CheckBox, ComboBox, Container, Label, PushButton, SpinBox
from napari.layers import Image
from napari.qt.threading import create_worker
from napari.utils.notifications import show_warning

from zentrel.core import Settings
from zentrel.napari._compute import Grid, as_planes, binarize_plane, is_dask

_OBJECTS = {"found": None, "dark": "dark", "bright": "bright"}


class BinarizeWidget(Container):
    def __init__(self, viewer: napari.viewer.Viewer):  # napari passes its viewer by this annotation
        self.viewer = viewer
        self.image = ComboBox(label="image", choices=self._image_choices)
        self.preset = ComboBox(label="preset", choices=["auto", "classic"], value="auto",
                               tooltip="auto: the default, adapted to the image; classic: fixed limits")
        self.objects = ComboBox(label="objects", choices=list(_OBJECTS), value="found",
                                tooltip="the objects' side; 'found' lets the automatic default find it")
        self.region_size = SpinBox(label="region size", value=Settings.region_size, min=2, max=4096)
        self.percent = SpinBox(label="percent", value=Settings.percent, min=0, max=100)
        self.surface = CheckBox(text="add the threshold surface", value=False)
        self.grid = CheckBox(text="add the region grid", value=False)
        self.button = PushButton(text="Binarize")
        self.status = Label(value="")
        super().__init__(widgets=[self.image, self.preset, self.objects, self.region_size, self.percent,
                                  self.surface, self.grid, self.button, self.status])
        for event in (viewer.layers.events.inserted, viewer.layers.events.removed,
                      viewer.layers.events.reordered):
            event.connect(self._refresh)
        viewer.layers.selection.events.active.connect(self._follow_selection)
        self._follow_selection()
        self.preset.changed.connect(self._preset_changed)
        self.button.clicked.connect(self.run)
        self.running = False
        self.worker = None

    def _image_choices(self, _widget=None) -> list:
        return [(layer.name, layer) for layer in self.viewer.layers if isinstance(layer, Image)]

    def _refresh(self, _event=None) -> None:
        self.image.reset_choices()

    def _follow_selection(self, _event=None) -> None:
        active = self.viewer.layers.selection.active
        if isinstance(active, Image) and active in self.image.choices:
            self.image.value = active

    def _preset_changed(self, preset: str) -> None:
        self.objects.enabled = preset == "auto"  # classic takes dark objects

    def settings(self) -> Settings:
        objects = _OBJECTS[self.objects.value] if self.preset.value == "auto" else None
        return Settings.from_kwargs("napari", preset=self.preset.value, objects=objects,
                                    region_size=self.region_size.value, percent=self.percent.value)

    def run(self):
        layer = self.image.value
        if layer is None:
            self._fail("choose an image layer")
            return None
        if layer.multiscale:
            self._fail(f"{layer.name}: multiscale layers are not supported; open the full-resolution level")
            return None
        settings, surface, grid = self.settings(), self.surface.value, self.grid.value
        try:
            planes, stack = as_planes(layer.data, rgb=layer.rgb)
        except ValueError as error:
            self._fail(f"{layer.name}: {error}")
            return None

        def work():
            results = []
            for z, plane in enumerate(planes):
                try:
                    results.append(binarize_plane(plane, settings, surface=surface, grid=grid,
                                                  index=(z,) if stack else ()))
                except ValueError as error:  # NoRegionPassedError, an image smaller than a region, ...
                    return f"{layer.name}" + (f", plane {z}" if stack else "") + f": {error}"
                yield z + 1
            return results

        self.running = True
        self.button.enabled = False
        self.status.value = f"binarizing {layer.name} ({len(planes)} plane{'s' * (len(planes) > 1)})"
        worker = create_worker(work, _progress={"total": len(planes), "desc": "zentrel"}, _start_thread=False)
        worker.returned.connect(lambda results: self._done(layer, results, stack))
        worker.errored.connect(lambda error: self._fail(f"{layer.name}: {error}"))
        worker.finished.connect(self._finished)
        self.worker = worker
        worker.start()
        return worker

    def _finished(self) -> None:
        self.running = False
        self.button.enabled = True

    def _fail(self, message: str) -> None:
        self.status.value = message
        show_warning(f"zentrel: {message}")

    def _done(self, layer, results, stack: bool) -> None:
        if isinstance(results, str):
            self._fail(results)
            return
        join = _stack if stack else (lambda arrays: arrays[0])
        where = {"scale": layer.scale, "translate": layer.translate}  # on top of the image
        self.viewer.add_labels(join([r.labels for r in results]), name=f"{layer.name} objects", **where)
        if results[0].surface is not None:
            self.viewer.add_image(join([r.surface for r in results]), name=f"{layer.name} threshold surface",
                                  colormap="magma", blending="additive", visible=False, **where)
        if results[0].grid is not None:
            grid = Grid()
            for r in results:
                grid.extend(r.grid)
            self.viewer.add_shapes(
                grid.rectangles, shape_type="rectangle", name=f"{layer.name} regions",
                edge_color=grid.edge_colours(), face_color="transparent", edge_width=1,
                features={"passed": grid.passed, "note": grid.notes},
                text={"string": "{note}", "size": 7, "color": "white"}, **where)
        self.viewer.layers.selection.active = layer  # keep the image chosen, not the layers just added
        passed = sum(sum(r.grid.passed) for r in results) if results[0].grid is not None else None
        self.status.value = f"{layer.name}: done" + (f", {passed} regions passed" if passed is not None else "")


def _stack(arrays: list):
    if is_dask(arrays[0]):
        import dask.array as da

        return da.stack(arrays)
    return np.stack(arrays)
