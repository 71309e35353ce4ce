"""napari plugin: binarize image layers with zentrel (the ``napari`` extra).

Declared by the npe2 manifest ``napari.yaml`` beside this file, which napari
finds through the ``napari.manifest`` entry point:

- the dock widget "Binarize (zentrel)" (``_widget.BinarizeWidget``) takes the
  selected image layer, 2-D or a 3-D stack done plane by plane, numpy or dask
  (through :mod:`zentrel.dask`), and adds the objects as a Labels layer (1 on
  the objects' side, 0 elsewhere), and on request the threshold surface as an
  Image layer and the region grid as a Shapes layer (passed regions green
  with their thresholds, failed ones red with their reasons);
- the sample "Unevenly lit scene (zentrel)": :func:`zentrel.uneven_scene`
  and its objects.

The computation (``_compute``) needs no Qt; nothing here is imported by
``import zentrel``.
"""
