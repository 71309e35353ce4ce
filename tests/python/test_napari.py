"""The napari dock widget in napari's own viewer, Qt offscreen."""

import os

import numpy as np
import pytest

os.environ.setdefault("QT_QPA_PLATFORM", "offscreen")
pytest.importorskip("napari", reason='napari missing: pip install "zentrel[napari-test]"')
pytest.importorskip("pytestqt", reason='pytest-qt missing: pip install "zentrel[napari-test]"')

import subprocess  # noqa: E402
import sys  # noqa: E402

import zentrel  # noqa: E402

# napari's canvas needs OpenGL; asked in a child process so that no Qt application starts here.
_GL = ("from qtpy.QtWidgets import QApplication; from qtpy.QtGui import QOpenGLContext\n"
       "app = QApplication([]); raise SystemExit(0 if QOpenGLContext().create() else 1)")
if subprocess.run([sys.executable, "-c", _GL], capture_output=True).returncode != 0:
    pytest.skip("Qt cannot start with OpenGL for napari's canvas (Debian: xvfb, libgl1, libegl1)",
                allow_module_level=True)

pytestmark = pytest.mark.filterwarnings("ignore:System theme detection requires a Qt6 backend:UserWarning")


@pytest.fixture
def widget(make_napari_viewer, qtbot):
    from zentrel.napari._widget import BinarizeWidget

    viewer = make_napari_viewer()
    widget = BinarizeWidget(viewer)
    viewer.window.add_dock_widget(widget)

    def run(image, **settings):
        viewer.layers.clear()
        layer = viewer.add_image(image, name="scene")
        for name, value in settings.items():
            getattr(widget, name).value = value
        widget.run()
        qtbot.waitUntil(lambda: not widget.running, timeout=60_000)
        return {lay.name: lay for lay in viewer.layers if lay is not layer}

    widget.binarize = run
    return widget


def objects_of(image, **options):
    """What the Labels layer should hold: 1 on the objects' side of zentrel.binarize."""
    side = zentrel.analyse(image, **options).objects
    return (zentrel.binarize(image, **options) == (255 if side == "bright" else 0)).astype(np.uint8)


def test_labels_surface_and_grid(widget):
    image, _ = zentrel.uneven_scene((192, 256), seed=4)
    layers = widget.binarize(image, region_size=24, percent=40, surface=True, grid=True)
    assert sorted(layers) == ["scene objects", "scene regions", "scene threshold surface"]
    assert np.array_equal(layers["scene objects"].data, objects_of(image, region_size=24, percent=40))
    assert np.array_equal(layers["scene threshold surface"].data,
                          zentrel.threshold_surface(image, region_size=24, percent=40))
    shapes = layers["scene regions"]
    regions = zentrel.analyse(image, region_size=24, percent=40).regions
    assert len(shapes.data) == len(regions) and 0 < sum(r.passed for r in regions) < len(regions)
    green, red = np.array([0, 1, 0, 1]), np.array([1, 0, 0, 1])
    for region, colour, note, corners in zip(regions, shapes.edge_color, shapes.features["note"], shapes.data):
        assert np.allclose(colour, green if region.passed else red)
        assert note == (f"{region.threshold:.0f}" if region.passed else region.failed_test or region.status)
        assert corners.min(axis=0).tolist() == [region.top, region.left]


def test_classic_preset_and_bright_objects_reach_the_analysis(widget):
    image, _ = zentrel.uneven_scene((128, 128), seed=5)
    image = 255 - image  # bright objects
    layers = widget.binarize(image, objects="bright")
    assert np.array_equal(layers["scene objects"].data, objects_of(image, objects="bright"))
    classic = widget.binarize(255 - image, preset="classic")
    assert np.array_equal(classic["scene objects"].data,
                          (zentrel.binarize(255 - image, preset="classic") == 0).astype(np.uint8))


def test_a_stack_is_done_plane_by_plane_also_through_dask(widget):
    da = pytest.importorskip("dask.array")
    planes = [zentrel.uneven_scene((96, 128), seed=s)[0] for s in (6, 7)]
    layers = widget.binarize(da.from_array(np.stack(planes), chunks=(1, 48, 64)), grid=True)
    labels = np.asarray(layers["scene objects"].data)
    assert np.array_equal(labels, np.stack([objects_of(p) for p in planes]))
    z = np.array([corners[0, 0] for corners in layers["scene regions"].data])
    assert [int((z == k).sum()) for k in (0, 1)] == [len(zentrel.analyse(p).regions) for p in planes]


def test_an_image_smaller_than_a_region_shows_a_message(widget):
    layers = widget.binarize(np.zeros((10, 10), np.uint8), region_size=32)
    assert layers == {}
    assert "scene:" in widget.status.value and "region" in widget.status.value


def test_the_manifest_brings_the_sample_and_the_widget(make_napari_viewer, qtbot):
    viewer = make_napari_viewer()
    viewer.open_sample("zentrel", "uneven_scene")
    _, widget = viewer.window.add_plugin_dock_widget("zentrel", "Binarize (zentrel)")
    assert np.array_equal(viewer.layers["uneven scene"].data, zentrel.uneven_scene((512, 512), seed=1)[0])
    assert widget.image.value is viewer.layers["uneven scene"]


def test_the_library_imports_neither_plugin_nor_qt():
    code = ("import sys, zentrel\n"
            "print(sorted(m for m in ('napari', 'ocrmypdf', 'PyQt5', 'qtpy', 'magicgui') if m in sys.modules))")
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert result.stdout.strip() == "[]"
