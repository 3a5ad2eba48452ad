"""The twins on other array libraries, through NumPy's own dispatch: Dask arrays
stay lazy and price chunk by chunk (on Dask's threads or on a local cluster of
worker processes) to the bits of one NumPy call; pandas and xarray objects
come back as their own kind, labels kept."""
import numpy as np
import pytest

import quillander_numpy as qn
from test_arrays import FIELDS, assert_bits, regime_inputs

da = pytest.importorskip("dask.array")
dask = pytest.importorskip("dask")


def chunked(inputs, chunks):
    return [da.from_array(a, chunks=chunks) for a in inputs]


def test_ten_million_options_in_chunks_on_dask_threads():
    inputs = regime_inputs(10_000_000, seed=99)
    whole = qn.npv(*inputs)
    lazy = qn.npv(*chunked(inputs, 1_000_000))
    assert isinstance(lazy, da.Array) and lazy.numblocks == (10,)
    # Dask's threads each run a chunk while the module's own pool may serve another.
    assert_bits(lazy.compute(scheduler="threads"), whole, inputs)


def test_results_stay_lazy_until_computed():
    made = []

    def make():
        made.append(1)
        return np.linspace(50.0, 150.0, 1000)

    spot = da.from_delayed(dask.delayed(make)(), shape=(1000,), dtype=np.float64).rechunk(250)
    value = qn.vega(spot, 100.0, 0.05, 0.0, 1.0, 1, 0.2)
    metrics = qn.get_metrics_fd(spot, 100.0, 0.05, 0.0, 1.0, 1, 0.2)
    assert isinstance(value, da.Array) and made == []
    assert type(metrics) is qn.Metrics and all(isinstance(c, da.Array) for c in metrics) and made == []
    plain = np.linspace(50.0, 150.0, 1000)
    assert_bits(value.compute(scheduler="sync"), qn.vega(plain, 100.0, 0.05, 0.0, 1.0, 1, 0.2))
    assert made == [1]


@pytest.mark.parametrize("name", ["get_metrics", "get_metrics_fd"])
def test_all_metrics_on_dask_arrays(name):
    inputs = regime_inputs(200_000, seed=5)
    lazy = getattr(qn, name)(*chunked(inputs, 30_000))
    assert type(lazy) is qn.Metrics and lazy._fields == FIELDS
    computed = dask.compute(*lazy, scheduler="threads")
    for column, expected in zip(computed, getattr(qn, name)(*inputs)):
        assert_bits(column, expected, inputs)


def test_dask_arrays_mixed_with_numpy_arrays_and_scalars():
    inputs = regime_inputs(50_000, seed=8)
    spot, strike, rate, div_yield, tau, flag, vol = inputs
    lazy = qn.theta(da.from_array(spot, chunks=7_000), strike, 0.03, div_yield, da.from_array(tau, chunks=11_000),
                    flag, vol)
    assert isinstance(lazy, da.Array)
    assert_bits(lazy.compute(scheduler="sync"), qn.theta(spot, strike, 0.03, div_yield, tau, flag, vol))
    assert_bits(qn.erf_inv(da.from_array(rate, chunks=4_000)).compute(), qn.erf_inv(rate))


@pytest.mark.filterwarnings("ignore:Sending large graph")  # the inputs travel inside the graph
def test_a_local_cluster_of_two_worker_processes():
    distributed = pytest.importorskip("distributed")
    inputs = regime_inputs(1_000_000, seed=1234)
    with distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1, host="127.0.0.1",
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        arrays = chunked(inputs, 250_000)
        lazy = qn.npv(*arrays)
        metrics = qn.get_metrics(*arrays)
        # The module-function twins travel by name too, their dates as datetime64.
        days = np.datetime64("2000-01-01") + (np.arange(1_000_000) % 20_000).astype("m8[D]")
        lazy_days = da.from_array(days, chunks=250_000)
        shifted = qn.add_tenor(lazy_days, "3M")
        dated = qn.npv_with_dates(arrays[0], arrays[1], 0.03, 0.01, np.datetime64("1999-06-01"), lazy_days,
                                  inputs[5], 0.2)
        npv, computed = client.compute([lazy, list(metrics)], sync=True)
        got_days, got_dated = client.compute([shifted, dated], sync=True)
        assert len(client.scheduler_info()["workers"]) == 2
    assert_bits(npv, qn.npv(*inputs), inputs)
    np.testing.assert_array_equal(got_days, qn.add_tenor(days, "3M"))
    assert_bits(got_dated, qn.npv_with_dates(inputs[0], inputs[1], 0.03, 0.01, np.datetime64("1999-06-01"), days,
                                             inputs[5], 0.2))
    for column, expected in zip(computed, qn.get_metrics(*inputs)):
        assert_bits(column, expected, inputs)


def test_pandas_series_in_give_series_out():
    pd = pytest.importorskip("pandas")
    index = pd.Index([f"opt{i}" for i in range(6)], name="option")
    spot = pd.Series([80.0, 90.0, 100.0, 110.0, -1.0, np.nan], index=index, name="spot")
    flag = pd.Series([1, 0, 1, 0, 1, 1], index=index)
    value = qn.npv(spot, 100.0, 0.05, 0.01, 0.5, flag, 0.3)
    assert type(value) is pd.Series and value.index.equals(index)
    assert_bits(value.to_numpy(), qn.npv(spot.to_numpy(), 100.0, 0.05, 0.01, 0.5, flag.to_numpy(), 0.3))
    metrics = qn.get_metrics(spot, 100.0, 0.05, 0.01, 0.5, flag, 0.3)
    assert type(metrics) is qn.Metrics
    for column, expected in zip(metrics, qn.get_metrics(spot.to_numpy(), 100.0, 0.05, 0.01, 0.5, flag.to_numpy(), 0.3)):
        assert type(column) is pd.Series and column.index.equals(index)
        assert_bits(column.to_numpy(), expected)
    assert type(qn.erf(spot)) is pd.Series and qn.erf(spot).name == "spot"


def test_xarray_data_arrays_in_give_data_arrays_out():
    xr = pytest.importorskip("xarray")
    spot = xr.DataArray(np.linspace(80.0, 120.0, 5), dims="spot", coords={"spot": np.linspace(80.0, 120.0, 5)})
    vol = xr.DataArray([0.1, 0.2, 0.4], dims="vol", coords={"vol": [0.1, 0.2, 0.4]})
    value = qn.npv(spot, 100.0, 0.05, 0.0, 1.0, 0, vol)
    assert type(value) is xr.DataArray and value.dims == ("spot", "vol")
    assert value.coords["vol"].values.tolist() == [0.1, 0.2, 0.4]
    grid = np.linspace(80.0, 120.0, 5)[:, None], np.array([0.1, 0.2, 0.4])
    assert_bits(value.values, qn.npv(grid[0], 100.0, 0.05, 0.0, 1.0, 0, grid[1]))
    columns = qn.get_metrics_ufunc(spot, 100.0, 0.05, 0.0, 1.0, 0, vol)
    assert all(type(c) is xr.DataArray and c.dims == ("spot", "vol") for c in columns)
    assert_bits(columns[2].values, qn.gamma(grid[0], 100.0, 0.05, 0.0, 1.0, 0, grid[1]))


# A DataArray carries the Dask collection protocol whether or not Dask holds its
# data: it must still come back as DataArrays with the broadcast dimensions.
@pytest.mark.parametrize("name", ["get_metrics", "get_metrics_fd"])
@pytest.mark.parametrize("second_dim", ["spot", "vol"])
def test_all_metrics_of_data_arrays_are_data_arrays(name, second_dim):
    xr = pytest.importorskip("xarray")
    spot = xr.DataArray(np.linspace(80.0, 120.0, 5), dims="spot")
    vol = xr.DataArray(np.linspace(0.1, 0.5, 5 if second_dim == "spot" else 3), dims=second_dim)
    metrics = getattr(qn, name)(spot, 100.0, 0.05, 0.0, 1.0, 0, vol)
    want = getattr(qn, name + "_ufunc")(spot, 100.0, 0.05, 0.0, 1.0, 0, vol)
    assert type(metrics) is qn.Metrics
    for column, expected in zip(metrics, want):
        assert type(column) is xr.DataArray and column.dims == expected.dims
        assert_bits(column.values, expected.values)
